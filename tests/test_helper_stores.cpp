// The helper's account service and analytics store on their own files.
#include <gtest/gtest.h>

#include <fstream>

#include "helper/accounts/accountstore.h"
#include "helper/analytics/analyticsstore.h"
#include "helper/bus/installedapps.h"
#include "testsupport.h"

using namespace TarvikHelper;

TEST(AccountStore, SignInUserDataSignOutAndTheStatusesOfRefusals) {
    TestSupport::TempDir dir;
    AccountStore store(dir.file("accounts.json"));
    EXPECT_EQ(store.userData("client").status, AccountStore::kNoDefaultUser);
    bool now = true;
    EXPECT_EQ(store.prompt(now), AccountStore::kPromptDismissed);  // nobody on record
    EXPECT_FALSE(now);

    store.signIn({"U-1", "u1@example.org", "User One", "User", "One"});
    const auto data = store.userData("client");
    ASSERT_EQ(data.status, AccountStore::kOk);
    EXPECT_NE(data.text.find("<UserID>U-1</UserID>"), std::string::npos);
    EXPECT_NE(data.text.find("\"displayName\":\"User One\""), std::string::npos);
    EXPECT_EQ(store.userData("").status, AccountStore::kInvalidArguments);

    EXPECT_EQ(store.signOut("someone-else", "client", ""), AccountStore::kRevokeFailed);
    EXPECT_EQ(store.signOut("U-1", "client", ""), AccountStore::kOk);
    EXPECT_EQ(store.userData("client").status, AccountStore::kNoDefaultUser);
    // The prompt signs the account on record back in.
    EXPECT_EQ(store.prompt(now), AccountStore::kPromptSignedIn);
    EXPECT_TRUE(now);
    EXPECT_EQ(store.userData("client").status, AccountStore::kOk);
}

TEST(AccountStore, RegisteredClientsNeedTheirSecretAndScopes) {
    TestSupport::TempDir dir;
    AccountStore store(dir.file("accounts.json"));
    store.signIn({"U-1", "u@e", "", "", ""});
    store.addClient("app", "s3cret", "openid profile");
    EXPECT_EQ(store.accessToken("app", "wrong", "U-1", "app", "openid").status,
              AccountStore::kInvalidClient);
    EXPECT_EQ(store.accessToken("other", "s3cret", "U-1", "app", "openid").status,
              AccountStore::kInvalidClient);
    EXPECT_EQ(store.accessToken("app", "s3cret", "U-1", "app", "openid admin").status,
              AccountStore::kInvalidScope);
    EXPECT_EQ(store.accessToken("app", "s3cret", "U-2", "app", "openid").status,
              AccountStore::kNoDefaultUser);
    const auto token = store.accessToken("app", "s3cret", "U-1", "app", "profile openid");
    ASSERT_EQ(token.status, AccountStore::kOk);
    const auto json = nlohmann::json::parse(token.text);
    EXPECT_EQ(json["expires_in"], 3600);
    EXPECT_EQ(json["access_token"].get<std::string>().size(), 48u);
    const auto second =
        nlohmann::json::parse(store.accessToken("app", "s3cret", "U-1", "app", "openid").text);
    EXPECT_NE(json["access_token"], second["access_token"]);  // fresh every time

    store.forceStatus(28, 89);
    EXPECT_EQ(store.accessToken("app", "s3cret", "U-1", "app", "openid").status, 89);
    store.forceStatus(28, 0);
    EXPECT_EQ(store.accessToken("app", "s3cret", "U-1", "app", "openid").status, AccountStore::kOk);
}

TEST(AccountStore, AnUnreadableFileCountsAsEmpty) {
    TestSupport::TempDir dir;
    std::ofstream(dir.file("accounts.json")) << "{not json";
    AccountStore store(dir.file("accounts.json"));
    EXPECT_EQ(store.userData("client").status, AccountStore::kNoDefaultUser);
    store.signIn({"U-1", "u@e", "", "", ""});
    EXPECT_EQ(store.userData("client").status, AccountStore::kOk);
}

TEST(AnalyticsStore, SessionsEventsAndGroupsSurviveReopeningAndBadHandlesAreRefused) {
    TestSupport::TempDir dir;
    const std::string file = dir.file("analytics/app.sqlite");
    uint64_t handle = 0;
    int32_t group = 0;
    {
        AnalyticsStore store("app", file);
        ASSERT_TRUE(store.usable());
        store.initialize("U-1", true, "proxy");
        handle = store.startSession({"fam", "name", "1.2.3", "de-AT", "b7"});
        ASSERT_NE(handle, 0u);
        EXPECT_TRUE(store.logEvent(handle, "cat", "sub", "opened", "doc-1"));
        EXPECT_FALSE(store.logEvent(handle + 100, "cat", "sub", "lost", ""));
        group = store.newDataGroup(handle, "cat", "sub", "g", "");
        ASSERT_NE(group, 0);
        EXPECT_TRUE(store.addToGroup(handle, group, "k", "v"));
        EXPECT_FALSE(store.addToGroup(handle, group + 1, "k", "v"));
        EXPECT_EQ(store.setting("personGUID"), "U-1");
    }
    AnalyticsStore again("app", file);
    EXPECT_TRUE(again.logIdleTime(handle));  // the handle is still open after a restart
    const auto events = again.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "opened");
    EXPECT_EQ(events[0].docId, "doc-1");
    EXPECT_EQ(events[1].kind, "idle");
    EXPECT_TRUE(again.closeSession(handle));
    EXPECT_FALSE(again.closeSession(handle));
    EXPECT_FALSE(again.logEvent(handle, "cat", "sub", "late", ""));
    EXPECT_EQ(again.newDataGroup(handle, "c", "s", "g", ""), 0);
    const uint64_t cache = again.openCacheSession();
    EXPECT_GT(cache, handle);
}

TEST(AnalyticsStore, AFileThatIsNoDatabaseLeavesTheStoreUnusable) {
    TestSupport::TempDir dir;
    std::ofstream(dir.file("bad.sqlite")) << std::string(4096, 'x');
    AnalyticsStore store("app", dir.file("bad.sqlite"));
    EXPECT_FALSE(store.usable());
    EXPECT_EQ(store.startSession({}), 0u);
    EXPECT_FALSE(store.logEvent(1, "c", "s", "n", ""));
}

// A helper serving a confined application starts no other application: it would run
// outside every sandbox, with arguments the confined side chose.
TEST(InstalledApps, AConfinedApplicationsHelperStartsNoOtherApplication) {
    TestSupport::TempDir dir;
    const std::string marker = dir.file("started");
    const std::string script = dir.file("app.sh");
    std::ofstream(script) << "#!/bin/sh\ntouch '" << marker << "'\n";
    boost::filesystem::permissions(script, boost::filesystem::owner_all);
    const TarvikHelper::InstalledApps apps(dir.file("applications"));
    const TarvikHelper::InstalledApp app{"App.Other_1", dir.file("other.manifest.json"), script};

    ::setenv("TARVIK_CONFINED", "1", 1);
    const bool whileConfined = apps.launch(app, "");
    ::unsetenv("TARVIK_CONFINED");
    EXPECT_FALSE(whileConfined);
    EXPECT_FALSE(boost::filesystem::exists(marker));

    EXPECT_TRUE(apps.launch(app, ""));
    EXPECT_TRUE(TestSupport::eventually([&] { return boost::filesystem::exists(marker); }));
}
