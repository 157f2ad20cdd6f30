// tarvik-conformance against helpers that each break the contract in one way: it must
// fail them, name the broken check, and fail nothing else.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CheckerRun {
    int status = -1;
    std::string output;
    std::vector<std::string> failures;
};

CheckerRun runCommand(const std::string& helper) {
    const std::string command =
        std::string(TARVIK_CONFORMANCE_PATH) + " --helper " + helper + " 2>&1";
    CheckerRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) run.output += buffer;
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("FAIL ", 0) == 0) run.failures.push_back(line);
    return run;
}

CheckerRun runChecker(const std::string& fault) {
    return runCommand(std::string(BROKEN_HELPER_PATH) + " " + fault);
}

// Every failure is one of `expected`, and each of them failed.
void expectOnlyFailures(const CheckerRun& run, const std::vector<std::string>& expected) {
    EXPECT_EQ(run.status, 1) << run.output;
    for (const auto& line : run.failures) {
        bool known = false;
        for (const auto& e : expected) known = known || line.find(e) != std::string::npos;
        EXPECT_TRUE(known) << "unexpected: " << line << "\n" << run.output;
    }
    for (const auto& e : expected) {
        bool seen = false;
        for (const auto& line : run.failures) seen = seen || line.find(e) != std::string::npos;
        EXPECT_TRUE(seen) << "not failed: " << e << "\n" << run.output;
    }
    EXPECT_NE(run.output.find("PASS opening: the helper connects"), std::string::npos);
    EXPECT_NE(run.output.find(" passed, " + std::to_string(run.failures.size()) + " failed"),
              std::string::npos)
        << run.output;
}

TEST(Conformance, HelperThatForgetsCommand41AfterConnectingFails) {
    expectOnlyFailures(runChecker("no-reconnect-notice"), {"FAIL command 41 after"});
}

TEST(Conformance, HelperThatExecutesARetriedIdAgainFails) {
    expectOnlyFailures(runChecker("executes-retries"),
                       {"a retry with the same id is answered from its results",
                        "FAIL a retried 38 is executed once", "FAIL a retried 45 is executed once",
                        "FAIL acknowledging one id keeps the results of the others"});
}

TEST(Conformance, HelperThatMistypesAnAnswerKeyFails) {
    const CheckerRun run = runChecker("mistyped-answer");
    expectOnlyFailures(run, {"FAIL 38 TestDelayMessage: answer keys and types"});
    EXPECT_NE(run.output.find("\"TestReponse\" is Int32, not String"), std::string::npos);
}

TEST(Conformance, ProgramThatEndsBeforeConnectingFailsWithItsExitStatus) {
    // The library's command line follows the script as its positional parameters.
    const CheckerRun run = runCommand("/bin/sh -c 'exit 3'");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("FAIL opening: the helper connects to the application's service: "
                              "it ended, exit status 3"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("1 passed, 1 failed"), std::string::npos) << run.output;
}

}  // namespace
