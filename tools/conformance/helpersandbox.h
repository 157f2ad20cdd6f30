#pragma once
// A private package for the helper under test: its own runtime, data, config and home
// folders in a temporary folder, a manifest, and the helper started in it with the
// command line the library gives its helper.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Conformance {

class HelperSandbox {
  public:
    static constexpr const char* kFamily = "TarvikConformance_1a2b3c4d5e6f7";
    static constexpr const char* kService = "com.tarvik.conformance";
    static constexpr const char* kClientProgram = "conformance-client";

    // Creates the folders and the manifest and points this process's environment at
    // them, so the platform layer and the helper both see only the sandbox.
    explicit HelperSandbox(bool keep);
    ~HelperSandbox();
    HelperSandbox(const HelperSandbox&) = delete;
    HelperSandbox& operator=(const HelperSandbox&) = delete;

    // The arguments the library puts on its helper's command line (in-process mode).
    std::vector<std::string> helperArguments() const;
    // Starts `program` with `args` and then the library's arguments, or, as the
    // full-trust launcher does, without them (the helper reads them from the package's
    // settings); false when it cannot be started.
    bool start(const std::vector<std::string>& program, bool withArguments, std::string& error);
    // Whether the helper has ended; `status` tells how.
    bool ended(std::string* status = nullptr);
    // Tells an in-process helper to connect again now (the connection lock file).
    void signalReconnect() const;
    // Kills the helper and everything it started.
    void stop();

    const std::string& root() const { return root_; }
    std::string filesFolder() const { return root_ + "/files"; }
    std::string helperLog() const;
    std::string helperErrors() const { return root_ + "/helper-stderr.txt"; }
    pid_t pid() const { return pid_; }

  private:
    std::string dataFolder() const;
    std::string lockFile() const;

    std::string root_;
    bool keep_;
    pid_t pid_ = 0;
    std::optional<int> exitStatus_;
};

}  // namespace Conformance
