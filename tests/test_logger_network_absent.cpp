// The network sink with nothing listening: one attempt per process, then the file. The
// port is fixed, so the case runs in a child with a network of its own, where nothing
// else can hold it.
#include <gtest/gtest.h>

#include <TarvikFoundation/platform/hstring.h>

#include "common/logger.h"
#include "loopbacklistener.h"
#include "testchild.h"
#include "testsupport.h"

using namespace Tarvik;

TEST(LoggerNetwork, NothingListeningMeansFileForTheRestOfTheProcess) {
    TARVIK_RUN_IN_CHILD({.ownNetwork = true});
    ASSERT_FALSE(TestSupport::LoopbackListener::somethingListens(4545));
    TestSupport::TempDir dir;
    const std::string path = dir.file("TRVK.log");
    ConfigureLogger(2, "UWP");
    SetNetworkLogging(true);
    SetLogFilePath(Platform::utf8_to_wide(path));

    testing::internal::CaptureStderr();
    LogMessage("INF", "a.cpp", "f", 1, "first line");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("client: connect"), std::string::npos) << err;
    EXPECT_NE(err.find("client: failed to connect\n"), std::string::npos) << err;

    // A listener appearing later is never tried.
    TestSupport::LoopbackListener listener(4545);
    ASSERT_TRUE(listener.ok());
    testing::internal::CaptureStderr();
    LogMessage("INF", "a.cpp", "f", 2, "second line");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(listener.accept(50));

    const std::string text = TestSupport::readFile(path);
    EXPECT_NE(text.find(" first line\n"), std::string::npos);
    EXPECT_NE(text.find(" second line\n"), std::string::npos);
}
