// Runs alone in its program: the exit hook must not be installed before the test.
#include <gtest/gtest.h>

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
