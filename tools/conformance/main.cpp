// tarvik-conformance: starts a helper program as the library would and checks it
// against the contract, one line per check.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <TarvikFoundation/platform/hstring.h>

#include "common/logger.h"
#include "common/programoptions.h"
#include "tools/conformance/conformancechecks.h"
#include "tools/conformance/helperlink.h"
#include "tools/conformance/helpersandbox.h"
#include "tools/conformance/report.h"

namespace po = Tarvik::ProgramOptions::po;
using namespace Conformance;

namespace {

// "38,39,40,4" as command codes; false for anything else.
bool parseCodes(const std::string& text, std::set<int32_t>& codes) {
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        int32_t code = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), code);
        if (ec != std::errc() || end != part.data() + part.size()) return false;
        codes.insert(code);
    }
    return !codes.empty();
}

}  // namespace

int main(int argc, char** argv) {
    // Everything after the helper's program belongs to the helper, dashes and all.
    int own = argc;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--helper") {
            own = i + 2;
            break;
        }
    std::vector<std::string> program;
    std::string only;
    int timeoutMs = 5000;
    po::options_description described(
        "Starts PROGRAM ARGS with the command line the library gives its helper, plays the\n"
        "application's side and checks the helper against the contract: one line per\n"
        "check, then \"N passed, M failed\"; exit status 1 on any failure.\n\nOptions");
    described.add_options()(
        "helper", po::value<std::string>(),
        "the helper program; the arguments after it are passed to it before the library's")(
        "only", po::value<std::string>(&only),
        "comma-separated command codes the helper implements (e.g. 38,39,40,4); the others "
        "must be answered with \"response\" 1")("timeout",
                                                po::value<int>(&timeoutMs)->default_value(5000),
                                                "milliseconds to wait for each answer")(
        "from-settings",
        "start PROGRAM ARGS without the library's arguments, as the full-trust launcher "
        "does: the helper reads them from the package's LocalSettings \"args\"")(
        "keep", "keep the helper's temporary folders (logs included) and print where");
    po::variables_map options;
    if (const auto done = Tarvik::ProgramOptions::readCommandLine(
            own, argv, {"tarvik-conformance", "[options] --helper PROGRAM [ARGS...]"}, described,
            options))
        return *done;
    CheckOptions checkOptions;
    if (!options.count("helper")) {
        std::fprintf(stderr, "tarvik-conformance: --helper PROGRAM is required (see --help)\n");
        return Tarvik::ProgramOptions::kUsageError;
    }
    if (!only.empty() && !parseCodes(only, checkOptions.only)) {
        std::fprintf(stderr, "tarvik-conformance: --only wants command codes like 38,39,40,4\n");
        return Tarvik::ProgramOptions::kUsageError;
    }
    if (timeoutMs < 100 || timeoutMs > 600000) {
        std::fprintf(stderr, "tarvik-conformance: --timeout must be 100 to 600000 ms\n");
        return Tarvik::ProgramOptions::kUsageError;
    }
    checkOptions.answerTimeout = std::chrono::milliseconds(timeoutMs);
    checkOptions.fromSettings = options.count("from-settings") > 0;
    checkOptions.connectTimeout =
        std::max(std::chrono::milliseconds(15000), checkOptions.answerTimeout * 3);
    program.push_back(options["helper"].as<std::string>());
    for (int i = own; i < argc; ++i) program.emplace_back(argv[i]);

    Report report;
    try {
        HelperSandbox sandbox(options.count("keep") > 0);
        // This side's own log stays in the sandbox too.
        Tarvik::ConfigureLogger(2, "CNF");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(sandbox.root() + "/conformance.log"));
        {
            HelperLink link;
            link.listen();
            ConformanceChecks(report, sandbox, link, checkOptions).run(program);
            link.stopListening();
            link.close();
        }
        sandbox.stop();
        if (report.failed() > 0 && options.count("keep"))
            report.note("the helper's log: " + sandbox.helperLog() +
                        ", its errors: " + sandbox.helperErrors());
    } catch (const std::exception& e) {
        report.check(false, "the checks can run", e.what());
    }
    std::printf("%d passed, %d failed\n", report.passed(), report.failed());
    std::fflush(nullptr);
    // Platform threads may still be parked; nothing is left to write.
    std::_Exit(report.failed() > 0 ? 1 : 0);
}
