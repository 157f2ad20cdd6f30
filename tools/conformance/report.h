#pragma once
// One line per check, and the count of passes and failures at the end.
#include <cstdio>
#include <string>

namespace Conformance {

class Report {
  public:
    bool check(bool ok, const std::string& what, const std::string& detail = {}) {
        ok ? ++passed_ : ++failed_;
        std::printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
                    detail.c_str());
        std::fflush(stdout);
        return ok;
    }
    // A check that was not run, with the reason; counted neither way.
    void skip(const std::string& what, const std::string& why) {
        std::printf("SKIP %s: %s\n", what.c_str(), why.c_str());
        std::fflush(stdout);
    }
    void note(const std::string& text) {
        std::printf("     %s\n", text.c_str());
        std::fflush(stdout);
    }
    int passed() const { return passed_; }
    int failed() const { return failed_; }

  private:
    int passed_ = 0;
    int failed_ = 0;
};

}  // namespace Conformance
