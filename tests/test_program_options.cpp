// Every program's command line: --help, --version and an unknown option from the outside,
// and the helper's parser against the line the library builds and the launcher checks.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/base64.h"
#include "helper/helperoptions.h"
#include "tests/testsupport.h"

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

Outcome run(const std::string& program, const std::string& arguments) {
    Outcome outcome;
    FILE* pipe = ::popen((program + " " + arguments + " 2>&1 </dev/null").c_str(), "r");
    if (!pipe) return outcome;
    std::array<char, 4096> buffer{};
    while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        outcome.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

struct Program {
    const char* name;
    const char* path;
    std::vector<std::string> options;  // named in the usage
};

const Program kPrograms[] = {
    {"tarvik-helper", TARVIK_HELPER_PATH, {"--pid", "--package", "--service", "--log", "--lock"}},
    {"tarvik-apphost", TARVIK_APPHOST_PATH, {"--service", "--package", "--idle-exit-ms"}},
    {"tarvik-run", TARVIK_RUN_PATH, {"--or-unconfined", "MANIFEST"}},
    {"tarvik-demo", TARVIK_DEMO_PATH, {}},
    {"tarvik-call", TARVIK_CALL_PATH, {"--watch", "--list", "MANIFEST"}},
    {"tarvik-conformance", TARVIK_CONFORMANCE_PATH, {"--helper"}},
    {"commanddoc", TARVIK_COMMANDDOC_PATH, {"OUTPUT"}},
};

std::string helperLine(const std::string& tail = "") {
    return "--pid 4242 --package " + Tarvik::Base64::encode("Test.Args_1") + " --service " +
           Tarvik::Base64::encode("svc") +
           " --AppServiceInBackground false --enableNetworkLogging true --client " +
           Tarvik::Base64::encode("client \xC3\xA9") +
           " --ReconnectInterval 7 --logLevel 3 --log \"/tmp/a b/Win32Helper.log\" --lock "
           "\"/tmp/a b/connect.lock\" --enableLocalhost" +
           tail;
}

}  // namespace

TEST(ProgramOptions, EveryProgramAnswersHelpAndVersionAndRefusesAnUnknownOption) {
    for (const auto& program : kPrograms) {
        SCOPED_TRACE(program.name);
        const auto help = run(program.path, "--help");
        EXPECT_EQ(help.exitCode, 0) << help.output;
        EXPECT_EQ(help.output.rfind(std::string("usage: ") + program.name + " ", 0), 0u)
            << help.output;
        for (const auto& option : program.options)
            EXPECT_NE(help.output.find(option), std::string::npos) << option << help.output;
        EXPECT_NE(help.output.find("--version"), std::string::npos) << help.output;

        const auto version = run(program.path, "--version");
        EXPECT_EQ(version.exitCode, 0) << version.output;
        EXPECT_EQ(version.output, std::string(program.name) + " " + TARVIK_VERSION + "\n");

        const auto unknown = run(program.path, "--no-such-option 1");
        EXPECT_EQ(unknown.exitCode, 2) << unknown.output;
        EXPECT_EQ(unknown.output.rfind(std::string(program.name) + ": ", 0), 0u) << unknown.output;
        EXPECT_NE(unknown.output.find("--no-such-option"), std::string::npos) << unknown.output;
        // Not taken for a positional argument: there are no short options.
        const auto shortOption = run(program.path, "-x");
        EXPECT_EQ(shortOption.exitCode, 2) << shortOption.output;
        EXPECT_NE(shortOption.output.find("unknown option -x"), std::string::npos)
            << shortOption.output;
    }
    // A missing positional argument is named as the usage names it.
    const auto bare = run(TARVIK_RUN_PATH, "");
    EXPECT_EQ(bare.exitCode, 2) << bare.output;
    EXPECT_EQ(bare.output.rfind("tarvik-run: no MANIFEST given\n", 0), 0u) << bare.output;
}

// Past the file-size limit a write fails; it must not end the program (the signal that
// would is ignored), which goes on without its log and ends as it would have.
TEST(ProgramOptions, TheHelperAndTheAppHostOutliveTheFileSizeLimit) {
    TestSupport::TempDir dir;
    const std::string environment = "ulimit -f 0; XDG_RUNTIME_DIR=" + dir.path().string() +
                                    " XDG_DATA_HOME=" + dir.path().string() +
                                    " HOME=" + dir.path().string() + " exec ";
    // The helper ends at once when its application is gone.
    const auto helper =
        run(environment + TARVIK_HELPER_PATH,
            "--pid 999999999 --package " + Tarvik::Base64::encode("Test.Limit_1") + " --service " +
                Tarvik::Base64::encode("svc") + " --logLevel 2 --log " + dir.file("helper.log"));
    EXPECT_EQ(helper.exitCode, 0) << helper.output;
    EXPECT_EQ(TestSupport::readFile(dir.file("helper.log")), "");
    const auto apphost = run(environment + TARVIK_APPHOST_PATH,
                             "--package Test.Limit_1 --service svc --idle-exit-ms 50");
    EXPECT_EQ(apphost.exitCode, 0) << apphost.output;
}

// Started by hand for a named package, the app host logs in that package's temporary
// folder, not in the system's shared one.
TEST(ProgramOptions, AnAppHostStartedForANamedPackageLogsInThatPackagesFolder) {
    TestSupport::TempDir dir;
    const auto apphost =
        run("XDG_RUNTIME_DIR=" + dir.path().string() + " XDG_DATA_HOME=" + dir.path().string() +
                " TARVIK_PACKAGE_MANIFEST= exec " + TARVIK_APPHOST_PATH,
            "--package Test.Named_1 --service svc --idle-exit-ms 50");
    EXPECT_EQ(apphost.exitCode, 0) << apphost.output;
    const std::string text =
        TestSupport::readFile(dir.file("tarvik/Test.Named_1/TempState/TRVKBackgroundTask.log"));
    EXPECT_NE(text.find("apphost listening for Test.Named_1/svc"), std::string::npos) << text;
}

TEST(ProgramOptions, CommanddocWritesNoFileNamedLikeAnOption) {
    TestSupport::TempDir dir;
    const std::string in = "cd " + dir.path().string() + " && exec " + TARVIK_COMMANDDOC_PATH;
    const auto shortOption = run(in, "-x");
    EXPECT_EQ(shortOption.exitCode, 2) << shortOption.output;
    EXPECT_NE(shortOption.output.find("unknown option -x"), std::string::npos)
        << shortOption.output;
    const auto dash = run(in, "-");
    EXPECT_EQ(dash.exitCode, 0);
    EXPECT_EQ(dash.output.rfind("# Commands\n", 0), 0u) << dash.output.substr(0, 80);
    EXPECT_EQ(run("ls -A " + dir.path().string(), "").output, "");
}

TEST(ProgramOptions, ProgramsRefuseAMissingValueAndKeepTheirOwnUsageErrors) {
    const auto helper = run(TARVIK_HELPER_PATH, "--help --pid");
    EXPECT_EQ(helper.exitCode, 2) << helper.output;
    EXPECT_NE(helper.output.find("--pid"), std::string::npos) << helper.output;
    // The operator's account switch: refused before it touches the store.
    const auto account = run(TARVIK_HELPER_PATH, "account signin --user u --mail u@example.org");
    EXPECT_EQ(account.exitCode, 2) << account.output;
    EXPECT_NE(account.output.find("--mail"), std::string::npos) << account.output;
    const auto accountHelp = run(TARVIK_HELPER_PATH, "account --help");
    EXPECT_EQ(accountHelp.exitCode, 0) << accountHelp.output;
    EXPECT_EQ(accountHelp.output.rfind("usage: tarvik-helper account signin", 0), 0u);
    const auto apphost = run(TARVIK_APPHOST_PATH, "--idle-exit-ms soon --service svc");
    EXPECT_EQ(apphost.exitCode, 2) << apphost.output;
    EXPECT_NE(apphost.output.find("idle-exit-ms"), std::string::npos) << apphost.output;
    const auto noService = run(TARVIK_APPHOST_PATH, "--package Some.App_1");
    EXPECT_EQ(noService.exitCode, 2) << noService.output;
    EXPECT_NE(noService.output.find("usage: tarvik-apphost"), std::string::npos);
    const auto noManifest = run(TARVIK_RUN_PATH, "--or-unconfined");
    EXPECT_EQ(noManifest.exitCode, 2) << noManifest.output;
    // What follows "--" belongs to the confined program, not to the launcher.
    const auto twoManifests = run(TARVIK_RUN_PATH, "a.json b.json");
    EXPECT_EQ(twoManifests.exitCode, 2) << twoManifests.output;
    const auto missing = run(TARVIK_RUN_PATH, "/nonexistent/manifest.json -- --help");
    EXPECT_EQ(missing.exitCode, 3) << missing.output;
    // A confined program that is not there, or has no name, is refused in one line
    // before any sandbox is built.
    TestSupport::TempDir dir;
    const auto sandboxed = [&](const std::string& sandbox) {
        const std::string manifest = dir.file("manifest.json");
        std::ofstream(manifest) << "{\"familyName\": \"Test.Run_1\", \"version\": \"1.0.0.0\", "
                                   "\"sandbox\": "
                                << sandbox << "}";
        return run("XDG_RUNTIME_DIR=" + dir.file("run") + " XDG_DATA_HOME=" + dir.file("data") +
                       " " + TARVIK_RUN_PATH,
                   manifest);
    };
    const auto absent = sandboxed("{\"hostProgram\": \"no-such-program\"}");
    EXPECT_EQ(absent.exitCode, 3) << absent.output;
    EXPECT_EQ(absent.output, "tarvik-run: " + dir.file("manifest.json") +
                                 ": the sandbox's host program " + dir.file("no-such-program") +
                                 " cannot be run: No such file or directory\n");
    for (const char* sandbox :
         {"{\"network\": true}", "{\"hostProgram\": \"\"}", "{\"hostProgram\": null}"}) {
        const auto unnamed = sandboxed(sandbox);
        EXPECT_EQ(unnamed.exitCode, 3) << sandbox << unnamed.output;
        EXPECT_NE(unnamed.output.find("names no \"hostProgram\""), std::string::npos)
            << sandbox << unnamed.output;
    }
    // A folder is no program, though it may be entered.
    const auto folder = sandboxed("{\"hostProgram\": \".\"}");
    EXPECT_EQ(folder.exitCode, 3) << folder.output;
    EXPECT_NE(folder.output.find("cannot be run: not a file"), std::string::npos) << folder.output;
}

TEST(ProgramOptions, HelperReadsTheLibrarysLineAsALaunchUriAndAsSeparateArguments) {
    for (const auto& args : {std::vector<std::string>{"tarvik-test: " + helperLine()},
                             TarvikHelper::splitCommandLine(helperLine())}) {
        std::string error;
        const auto o = TarvikHelper::parseHelperOptions(args, error);
        ASSERT_TRUE(o) << error;
        EXPECT_EQ(o->pid, 4242);
        EXPECT_EQ(o->packageFamilyName, "Test.Args_1");
        EXPECT_EQ(o->serviceName, "svc");
        EXPECT_FALSE(o->appServiceInBackground);
        EXPECT_TRUE(o->enableNetworkLogging);
        EXPECT_EQ(o->clientId, "client \xC3\xA9");
        EXPECT_EQ(o->reconnectIntervalSeconds, 7u);
        EXPECT_EQ(o->logLevel, 3u);
        EXPECT_EQ(o->logFile, "/tmp/a b/Win32Helper.log");
        EXPECT_EQ(o->lockFile, "/tmp/a b/connect.lock");
        EXPECT_TRUE(o->enableLocalhost);
        EXPECT_FALSE(o->help || o->version);
    }
}

// The launcher checks a helper line token by token as option, value: the helper must not
// read a token the launcher took for something else as a path.
TEST(ProgramOptions, HelperRefusesWhatTheLauncherWouldReadDifferently) {
    const std::string refused[] = {
        helperLine(" --log=/etc/evil.log"),  // a value in the same argument
        helperLine(" --lo /etc/evil.log"),   // an abbreviated option
        helperLine(" --LOG /etc/evil.log"),  // another spelling
        helperLine(" -l /etc/evil.log"),     // a short option
        helperLine(" /etc/evil.log"),        // a stray value
        helperLine(" --log"),                // no value
        helperLine(" --log --enableLocalhost"),
        helperLine(" --logLevel 101"),
        helperLine(" --pid 2147483648"),
        helperLine(" --AppServiceInBackground yes"),
        // The parser's own message would substitute these tokens into themselves forever.
        helperLine(" --pack%canonical_option%"),
        helperLine(" --logLevel %value%"),
        helperLine(" --%option% 1"),
        "--pid 1 --package " + Tarvik::Base64::encode("../up") + " --service " +
            Tarvik::Base64::encode("svc"),
        "--pid 1 --service " + Tarvik::Base64::encode("svc"),
        "--pid 1 --package !! --service " + Tarvik::Base64::encode("svc"),
    };
    for (const auto& line : refused) {
        std::string error;
        EXPECT_FALSE(TarvikHelper::parseHelperOptions({"tarvik-test: " + line}, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
    std::string error;
    const auto help = TarvikHelper::parseHelperOptions({"--help"}, error);
    ASSERT_TRUE(help) << error;
    EXPECT_TRUE(help->help);
    EXPECT_NE(TarvikHelper::helperUsage().find("--enableLocalhost"), std::string::npos);
}
