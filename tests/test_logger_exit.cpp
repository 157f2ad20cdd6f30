// The exit hook must not be installed before these tests: nothing in this program logs
// except the forked children.
#include <gtest/gtest.h>

#include <cstdlib>

#include <TarvikFoundation/platform/hstring.h>

#include "common/logger.h"
#include "testsupport.h"

using namespace Tarvik;

namespace {
constexpr const char* kFile = "logger.cpp";
constexpr const char* kFunc = "Tarvik::LoggerExit";
}  // namespace

TEST(LoggerExit, CallsAfterExitBeganDoNothing) {
    TestSupport::TempDir dir;
    const std::string path = dir.file("exit.log");
    // Forked without exec, so the child logs to this path; nothing logged before.
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            // Constructed before the first line installs the exit hook, so it is
            // destroyed after the hook ran.
            struct LateLogger {
                ~LateLogger() { LogMessage("CRT", kFile, kFunc, 1, "late line"); }
            };
            static LateLogger late;
            CloseLogFile();
            ConfigureLogger(2, "UWP");
            SetLogFilePath(Platform::utf8_to_wide(path));
            LogMessage("CRT", kFile, kFunc, 1, "live line");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string text = TestSupport::readFile(path);
    EXPECT_NE(text.find("live line"), std::string::npos);
    EXPECT_EQ(text.find("late line"), std::string::npos);
}

namespace {

// Configures the logger, logs, and has the configuration changed once exit has begun;
// the exit code tells whether anything changed.
[[noreturn]] void configureAfterExit(const std::string& path, const std::string& later) {
    // Destroyed after the exit hook ran.
    struct LateConfiguration {
        std::wstring path, later;
        ~LateConfiguration() {
            ConfigureLogger(4, "LATE");
            SetNetworkLogging(true);
            SetLogFilePath(later);
            std::_Exit(GetLogThreshold() == 1 && GetLogFilePath() == path ? 0 : 3);
        }
    };
    static LateConfiguration late{Platform::utf8_to_wide(path), Platform::utf8_to_wide(later)};
    CloseLogFile();
    ConfigureLogger(1, "UWP");
    SetLogFilePath(Platform::utf8_to_wide(path));
    LogMessage("CRT", kFile, kFunc, 1, "live line");
    std::exit(0);
}

}  // namespace

TEST(LoggerExit, ConfigurationAfterExitBeganChangesNothing) {
    TestSupport::TempDir dir;
    const std::string path = dir.file("exit.log");
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(configureAfterExit(path, dir.file("later.log")), ::testing::ExitedWithCode(0), "");
    EXPECT_NE(TestSupport::readFile(path).find("live line"), std::string::npos);
}
