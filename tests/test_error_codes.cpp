#include <gtest/gtest.h>

#include <set>

#include <TarvikFoundation/orvaneplatformexceptionhelper.h>

#include "common/errorcodes.h"
#include "tarvikfoundation/errortable.h"

using namespace TarvikFoundation;
using Platform::hstring;

TEST(ErrorTable, SeventyOneConsecutiveCodes) {
    const auto& table = ErrorTable();
    ASSERT_EQ(table.size(), 71u);
    int32_t expected = static_cast<int32_t>(0xE1010001);
    for (const auto& [code, message] : table) {
        EXPECT_EQ(code, expected++);
        EXPECT_FALSE(message.empty());
    }
}

TEST(ErrorTable, MessagesAsTheyStand) {
    using H = OrvanePlatformExceptionHelper;
    EXPECT_EQ(H::GetErrorMessage(static_cast<int32_t>(0xE1010047)),
              hstring(L"Unknown error status. "));
    EXPECT_EQ(H::GetErrorMessage(0), hstring(L"Operation failed with unknown error"));
    EXPECT_EQ(H::GetErrorMessage(0).size(), 35u);
    EXPECT_EQ(H::GetErrorMessage(static_cast<int32_t>(0xE1010001)),
              hstring(L"Operation failed with unknown error."));
    EXPECT_EQ(H::GetErrorMessage(static_cast<int32_t>(0xE101000E)),
              hstring(L"Unexpected exception in AppServiceConnection."));
    EXPECT_EQ(H::GetErrorMessage(static_cast<int32_t>(0xE1010010)),
              hstring(L"Given Path does not correspond to a directory"));
    const hstring shared = H::GetErrorMessage(static_cast<int32_t>(0xE1010035));
    for (uint32_t c = 0xE1010036; c <= 0xE1010038; ++c)
        EXPECT_EQ(H::GetErrorMessage(static_cast<int32_t>(c)), shared);
    EXPECT_EQ(H::GetErrorMessage(static_cast<int32_t>(0xE1010048)),
              hstring(L"Operation failed with unknown error"));
}

TEST(ErrorTable, ServiceStatusesOfTheirCodes) {
    using H = OrvanePlatformExceptionHelper;
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010011)), 1);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010012)), 2);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010013)), 20);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE101001A)), 40);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE101002A)), 80);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010034)), 100);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010039)), 120);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010041)), 150);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010046)), 155);
    for (uint32_t c = 0xE1010001; c <= 0xE1010010; ++c)
        EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(c)), 65535);
    EXPECT_EQ(H::GetServiceStatus(static_cast<int32_t>(0xE1010047)), 65535);
    EXPECT_EQ(H::GetServiceStatus(0), 65535);
}

TEST(ErrorTable, EveryStatusCodeRoundTrips) {
    std::set<int32_t> statuses;
    for (uint32_t c = 0xE1010011; c <= 0xE1010046; ++c) {
        const auto code = static_cast<int32_t>(c);
        const int32_t status = OrvanePlatformExceptionHelper::GetServiceStatus(code);
        EXPECT_NE(status, 65535) << std::hex << c;
        EXPECT_EQ(ErrorCodeFromServiceStatus(status), code) << std::hex << c;
        statuses.insert(status);
    }
    EXPECT_EQ(statuses.size(), 54u);  // one-to-one
}

TEST(ErrorTable, StatusesWithoutCodeGiveUnknownStatus) {
    const int32_t unknown = static_cast<int32_t>(0xE1010047);
    for (int32_t s : {0,  -1, 3,   19,  27,  39,  41,  59,    75,    79,
                      90, 99, 105, 119, 128, 149, 156, 65534, 65535, 70000})
        EXPECT_EQ(ErrorCodeFromServiceStatus(s), unknown) << s;
    EXPECT_EQ(ErrorCodeFromServiceStatus(74), static_cast<int32_t>(0xE1010029));
}
