// The manager pattern: typed result reading, number parsing and the test manager.
#include <gtest/gtest.h>

#include <map>

#include <TarvikFoundation/orvanetestmanager.h>

#include "common/messageschema.h"
#include "scriptedpeer.h"
#include "tarvikfoundation/orvanetemplateutils.h"

using namespace TarvikFoundation;
using Platform::AppServiceResponse;
using Platform::AppServiceResponseStatus;
using Platform::hstring;
using Platform::ValueSet;
using TestSupport::responseWith;

namespace {
AppServiceResponse ok(ValueSet message) {
    return AppServiceResponse(AppServiceResponseStatus::Success, message);
}
}  // namespace

TEST(GetResult, DefaultsUnlessTheCallSucceededWithTheKey) {
    auto withKey = [](int32_t response) {
        auto m = responseWith(response);
        m.Insert(L"groupId", int32_t{42});
        m.Insert(L"IsAppInstalled", true);
        m.Insert(L"EnvTableEntry", hstring(L"/usr/bin"));
        return m;
    };
    EXPECT_EQ(OrvaneTemplateUtils::getResult<int32_t>(ok(withKey(0)), 22, L"groupId"), 42);
    // Only 1 counts as failure: 2 and 3 still yield the value.
    EXPECT_EQ(OrvaneTemplateUtils::getResult<int32_t>(ok(withKey(2)), 22, L"groupId"), 42);
    EXPECT_EQ(OrvaneTemplateUtils::getResult<int32_t>(ok(withKey(3)), 22, L"groupId"), 42);
    EXPECT_EQ(OrvaneTemplateUtils::getResult<int32_t>(ok(withKey(1)), 22, L"groupId"), 0);
    EXPECT_FALSE(OrvaneTemplateUtils::getResult<bool>(ok(withKey(1)), 47, L"IsAppInstalled"));
    EXPECT_TRUE(OrvaneTemplateUtils::getResult<bool>(ok(withKey(0)), 47, L"IsAppInstalled"));
    EXPECT_EQ(OrvaneTemplateUtils::getResult<hstring>(ok(withKey(0)), 44, L"EnvTableEntry"),
              hstring(L"/usr/bin"));
    EXPECT_EQ(OrvaneTemplateUtils::getResult<hstring>(ok(responseWith(0)), 44, L"EnvTableEntry"),
              hstring());
    EXPECT_EQ(
        OrvaneTemplateUtils::getResult<uint64_t>(
            AppServiceResponse(AppServiceResponseStatus::Failure, nullptr), 46, L"KeyBoardLayout"),
        0u);
    EXPECT_EQ(OrvaneTemplateUtils::getResult<uint32_t>(nullptr, 43, L"KeyReturnCode"), 0u);
    // A result of another type than the manager expects is an error, not a default.
    EXPECT_THROW(OrvaneTemplateUtils::getResult<uint32_t>(ok(withKey(0)), 22, L"groupId"),
                 Platform::hresult_no_interface);
}

TEST(StrToInt, LeadingDigitsOrZero) {
    EXPECT_EQ(OrvaneTemplateUtils::StrToInt<int32_t>(L"1234abc"), 1234);
    EXPECT_EQ(OrvaneTemplateUtils::StrToInt<int64_t>(L"-9000000000"), -9000000000);
    EXPECT_EQ(OrvaneTemplateUtils::StrToInt<int32_t>(L"abc"), 0);
    EXPECT_EQ(OrvaneTemplateUtils::StrToInt<int32_t>(L""), 0);
    EXPECT_EQ(OrvaneTemplateUtils::StrToInt<int32_t>(L"99999999999"),
              0);  // out of range fails the stream
}

TEST(TestManager, OneInstanceAndTheDelayRequestAsItStands) {
    auto manager = OrvaneInternal::OrvaneTestManager::GetInstance();
    EXPECT_EQ(manager, OrvaneInternal::OrvaneTestManager::GetInstance());

    TestSupport::ScriptedPeer peer([](const ValueSet& request, int) -> std::optional<ValueSet> {
        auto r = responseWith(0);
        if (request.HasKey(L"value")) return r;  // the Ext call: no "TestReponse"
        r.Insert(L"TestReponse", hstring(L"waited"));
        return r;
    });
    manager->setAppServiceConnection(peer.appSide(), false);
    EXPECT_EQ(manager->TestDelayApi(500).get(), hstring(L"waited"));
    const auto sent = peer.request(0);
    EXPECT_EQ(sent.LookupAs<int32_t>(L"command"), 38);
    EXPECT_EQ(sent.LookupAs<uint64_t>(L"TestDelay"), 500u);
    EXPECT_TRUE(sent.HasKey(L"commandId"));
    EXPECT_TRUE(sent.HasKey(L"ackCounts"));

    EXPECT_EQ(manager->TestDelayApiExt(5, 9).get(), hstring());
    EXPECT_EQ(peer.request(1).LookupAs<uint64_t>(L"value"), 9u);

    manager->TestKalderApi(3);
    manager->TestAppExitApi();
    ASSERT_TRUE(peer.waitForCount(4));
    std::map<int32_t, ValueSet> byCommand;
    for (std::size_t i = 2; i < 4; ++i)
        byCommand[peer.request(i).LookupAs<int32_t>(L"command")] = peer.request(i);
    ASSERT_EQ(byCommand.size(), 2u);
    ASSERT_TRUE(byCommand.count(39) && byCommand.count(40));
    EXPECT_FALSE(byCommand[39].HasKey(L"TestIterations"));
    const auto iterations = byCommand[40].TryLookup(L"TestIterations");
    ASSERT_TRUE(iterations);
    EXPECT_EQ(Platform::unbox_value_or<int32_t>(*iterations, -1), 3);  // an Int32, not another type
    EXPECT_THROW(byCommand[40].LookupAs<uint32_t>(L"TestIterations"),
                 Platform::hresult_no_interface);
    manager->setAppServiceConnection(nullptr, false);
}
