// The network sink with a listener: lines, header included, go to the socket only. The
// port is fixed, so the case runs in a child with a network of its own.
#include <gtest/gtest.h>

#include <TarvikFoundation/platform/hstring.h>

#include "common/logger.h"
#include "loopbacklistener.h"
#include "testchild.h"
#include "testsupport.h"

using namespace Tarvik;

TEST(LoggerNetwork, LinesGoToTheSocketInsteadOfTheFile) {
    TARVIK_RUN_IN_CHILD({.ownNetwork = true});
    TestSupport::LoopbackListener listener(4545);
    ASSERT_TRUE(listener.ok());
    TestSupport::TempDir dir;
    const std::string path = dir.file("TRVK.log");
    ConfigureLogger(2, "TSK");
    SetNetworkLogging(true);
    SetLogFilePath(Platform::utf8_to_wide(path));

    LogMessage("INF", "a.cpp", "f", 1, "over the wire %d", 1);
    ASSERT_TRUE(listener.accept(2000));
    LogMessage("WRN", "a.cpp", "f", 2, "and again");
    const std::string received = listener.readAll(200);
    EXPECT_EQ(received.rfind("\n\n-------- ", 0), 0u) << received;
    EXPECT_NE(received.find(" start_TSK "), std::string::npos);
    EXPECT_NE(received.find(" INF a.cpp:1 f over the wire 1\n"), std::string::npos);
    EXPECT_NE(received.find(" WRN a.cpp:2 f and again\n"), std::string::npos);
    EXPECT_EQ(TestSupport::readFile(path).find("over the wire"), std::string::npos);
}
