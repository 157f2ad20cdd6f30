// Broken disks, and the modes of what is written: a full disk (a file size limit on
// this process), and every file and folder of the library and the helper private to
// the user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <TarvikFoundation/platform/applicationdata.h>
#include <TarvikFoundation/platform/hstring.h>

#include "common/appserviceconnectionlock.h"
#include "common/errorcodes.h"
#include "common/logger.h"
#include "helper/accounts/accountstore.h"
#include "helper/analytics/analyticsstore.h"
#include "helper/files/fileoperations.h"
#include "helper/files/fileroots.h"
#include "helper/files/filetokens.h"
#include "helper/system/environmentstore.h"
#include "testsupport.h"

using namespace TarvikHelper;
namespace fs = boost::filesystem;

namespace {

// Temporary files of atomic replacements found anywhere under `folder`.
std::vector<std::string> temporaryFiles(const std::string& folder) {
    std::vector<std::string> found;
    boost::system::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().find(".tmp") != std::string::npos)
            found.push_back(it->path().string());
    return found;
}

template <class T>
int32_t codeOf(const FileResult<T>& result) {
    const auto* failure = std::get_if<FileFailure>(&result);
    return failure ? failure->code : 0;
}

// XDG_DATA_HOME pointed at a folder of the test's for its lifetime.
class DataHome {
  public:
    explicit DataHome(const std::string& path) {
        if (const char* v = std::getenv("XDG_DATA_HOME")) saved_ = v;
        ::setenv("XDG_DATA_HOME", path.c_str(), 1);
    }
    ~DataHome() {
        if (saved_)
            ::setenv("XDG_DATA_HOME", saved_->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
    }

  private:
    std::optional<std::string> saved_;
};

}  // namespace

TEST(DiskFaults, ATokenThatCannotBeKeptLeavesNeitherItsFileNorATemporaryFile) {
    TestSupport::TempDir dir;
    FileTokens tokens{"Test.Disk_1", dir.file("tokens/tokens.json")};
    FileRoots roots{{dir.path().string()}};
    const auto kept = issueFileToken(roots, tokens, dir.file("kept.txt"), "write", true);
    ASSERT_EQ(codeOf(kept), 0);
    {
        // The store already holds more than this: its replacement cannot be written.
        TestSupport::DiskFull full(64);
        const auto refused = issueFileToken(roots, tokens, dir.file("new.txt"), "write", true);
        EXPECT_EQ(codeOf(refused), Tarvik::Errors::kInvalidFileHandle);
    }
    EXPECT_FALSE(fs::exists(dir.file("new.txt"))) << "a file without a token was left";
    EXPECT_EQ(temporaryFiles(dir.path().string()), std::vector<std::string>{});
    // The store was not half-written: the earlier token still resolves, and with space
    // again the same request succeeds.
    EXPECT_TRUE(tokens.resolve(std::get<std::string>(kept)));
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, dir.file("new.txt"), "write", true)), 0);
}

TEST(DiskFaults, AnalyticsThatCouldNotStartComeBackWhenTheDiskDoes) {
    TestSupport::TempDir dir;
    std::optional<AnalyticsStore> store;
    {
        TestSupport::DiskFull full(1024);  // less than one page of the database
        store.emplace("Test.Disk_2", dir.file("analytics/store.sqlite"));
        EXPECT_FALSE(store->usable());
        EXPECT_EQ(store->startSession({"fam", "name", "1.2.3", "en-GB", "b1"}), 0u);
    }
    // No restart: the same store opens at its next use.
    const uint64_t handle = store->startSession({"fam", "name", "1.2.3", "en-GB", "b1"});
    ASSERT_NE(handle, 0u);
    EXPECT_TRUE(store->logEvent(handle, "cat", "sub", "event", ""));
    EXPECT_EQ(store->events().size(), 1u);
}

// Logs, settings, the lock file, accounts (client secrets), tokens, the environment
// and the analytics database: 0600 files in 0700 folders, whatever the umask.
TEST(DiskFaults, EverythingTheLibraryAndTheHelperWriteIsTheUsersAlone) {
    TestSupport::TempDir dir;
    const DataHome home(dir.file("data"));
    const mode_t umask = ::umask(022);
    auto data = Platform::ApplicationData::ForPackage(L"Test.Modes_1");
    data->Settings().Insert(L"args", Platform::hstring(L"--pid 1"));
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(data->TemporaryFolder() + "/TRVK.log"));
    TLOG("INF", "a line for the mode check");
    Tarvik::CloseLogFile();
    Tarvik::SetLogFilePath(L"");
    Tarvik::AppServiceConnectionLock::setAppServiceConnectionLock(
        Platform::utf8_to_wide(data->LocalCacheFolder() + "/1connect.lock"));
    EXPECT_TRUE(Tarvik::AppServiceConnectionLock::signal());
    AccountStore accounts;
    accounts.signIn({"U-1", "u@example.org", "User", "U", "One"});
    accounts.addClient("app", "s3cret", "openid");
    FileTokens tokens("Test.Modes_1");
    EXPECT_FALSE(tokens.issue({dir.file("x.txt"), "read"}).empty());
    EnvironmentStore environment("Test.Modes_1");
    EXPECT_TRUE(environment.set("NAME", "value"));
    AnalyticsStore analytics("Test.Modes_1");
    EXPECT_NE(analytics.startSession({"fam", "name", "1", "en", "b"}), 0u);
    ::umask(umask);

    std::string open;
    int files = 0;
    for (fs::recursive_directory_iterator it(dir.file("data")), end; it != end; ++it) {
        struct stat st {};
        ASSERT_EQ(::lstat(it->path().c_str(), &st), 0);
        const bool folder = S_ISDIR(st.st_mode);
        files += folder ? 0 : 1;
        if (folder ? (st.st_mode & 0777) != 0700 : (st.st_mode & 077) != 0)
            open += it->path().string() + " " + std::to_string(st.st_mode & 0777) + "\n";
    }
    EXPECT_GE(files, 8) << "fewer files written than expected";
    EXPECT_EQ(open, "") << "open to others (decimal modes)";
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
