// The helper's desktop services in-process: file operations and their error codes,
// key mapping, locale layouts, the package environment, exit watches, folder access
// and the socket server's framing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/hstring.h>

#include "common/errorcodes.h"
#include "common/logger.h"
#include "helper/files/beneathroot.h"
#include "helper/files/fileoperations.h"
#include "helper/files/fileroots.h"
#include "helper/files/folderpermissions.h"
#include "helper/processes/processlist.h"
#include "helper/processes/processwatcher.h"
#include "helper/sockets/socketserver.h"
#include "helper/sockets/socketserverlimits.h"
#include "helper/system/environmentstore.h"
#include "helper/system/keyboardlayout.h"
#include "helper/system/virtualkeys.h"
#include "platform/ratelimitedwarning.h"
#include "testchild.h"
#include "testsupport.h"

using namespace TarvikHelper;
using namespace std::chrono_literals;
using TestSupport::eventually;
namespace Errors = Tarvik::Errors;

namespace {

int highestDescriptor() {
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
    return highest;
}

template <class T>
int32_t codeOf(const FileResult<T>& result) {
    const auto* failure = std::get_if<FileFailure>(&result);
    return failure ? failure->code : 0;
}

void touch(const std::string& path) {
    std::ofstream(path) << "x";
}

}  // namespace

class FileOperations : public ::testing::Test {
  protected:
    TestSupport::TempDir dir;
    FileTokens tokens{"Test.Files_1", dir.file("tokens.json")};
    FileRoots roots{{dir.path().string(), "/proc"}};
};

TEST_F(FileOperations, ListingsAreSortedFlatOrRecursiveAndNameTheirTypes) {
    boost::filesystem::create_directories(dir.file("tree/b/c"));
    touch(dir.file("tree/a.txt"));
    touch(dir.file("tree/b/c/d.txt"));
    ::symlink(dir.file("tree").c_str(), dir.file("tree/b/loop").c_str());

    const auto flat =
        nlohmann::json::parse(std::get<std::string>(listFolder(roots, dir.file("tree"), false)));
    ASSERT_EQ(flat.size(), 2u);
    EXPECT_EQ(flat[0]["path"], dir.file("tree/a.txt"));
    EXPECT_EQ(flat[0]["type"], "file");
    EXPECT_EQ(flat[1]["type"], "folder");

    // The link back to the top is listed but not followed.
    const auto deep =
        nlohmann::json::parse(std::get<std::string>(listFolder(roots, dir.file("tree"), true)));
    std::vector<std::string> paths;
    for (const auto& e : deep) paths.push_back(e["path"]);
    EXPECT_EQ(paths, (std::vector<std::string>{dir.file("tree/a.txt"), dir.file("tree/b"),
                                               dir.file("tree/b/c"), dir.file("tree/b/c/d.txt"),
                                               dir.file("tree/b/loop")}));
}

TEST_F(FileOperations, FailuresCarryTheCodeOfWhatWentWrong) {
    touch(dir.file("plain"));
    EXPECT_EQ(codeOf(listFolder(roots, dir.file("missing"), false)), Errors::kPathNotFound);
    EXPECT_EQ(codeOf(listFolder(roots, dir.file("plain"), false)), Errors::kNotADirectory);
    EXPECT_EQ(codeOf(listFolder(roots, "relative/path", false)), Errors::kPathNotAllowed);
    EXPECT_EQ(codeOf(listFolder(roots, "", false)), Errors::kFolderNameExtraction);

    EXPECT_EQ(std::get<bool>(folderExists(roots, dir.file("missing"))), false);
    EXPECT_EQ(std::get<bool>(folderExists(roots, dir.path().string())), true);
    EXPECT_EQ(codeOf(folderExists(roots, dir.file("plain"))), Errors::kNotADirectory);

    EXPECT_EQ(codeOf(createFolder(roots, dir.file("plain/below"))), Errors::kNotADirectory);
    EXPECT_TRUE(std::get<bool>(createFolder(roots, dir.file("new/deep/folder"))));
    EXPECT_TRUE(std::get<bool>(createFolder(roots, dir.file("new/deep/folder"))));
    // Nobody, root included, creates folders in /proc.
    EXPECT_EQ(codeOf(createFolder(roots, "/proc/tarvik-test/below")), Errors::kPathCreate);
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, "/proc/tarvik-test/new.txt", "write", true)),
              Errors::kPathCreate);

    EXPECT_EQ(codeOf(deleteFolder(roots, dir.file("missing"))), Errors::kPathNotFound);
    EXPECT_EQ(codeOf(deleteFolder(roots, dir.file("plain"))), Errors::kNotADirectory);
    EXPECT_EQ(codeOf(deleteFolder(roots, "/")), Errors::kPathNotAllowed);
    EXPECT_TRUE(std::get<bool>(deleteFolder(roots, dir.file("new"))));
    EXPECT_FALSE(boost::filesystem::exists(dir.file("new")));

    // The text names the path, so the application's log says which one failed.
    const auto failure = std::get<FileFailure>(listFolder(roots, dir.file("missing"), false));
    EXPECT_NE(failure.text.find(dir.file("missing")), std::string::npos);
}

TEST_F(FileOperations, TokensNameTheirFileAndModeAndOutliveTheStore) {
    const std::string target = dir.file("made/for/writing.txt");
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, target, "write", false)), Errors::kPathNotFound);
    const auto token = issueFileToken(roots, tokens, target, "write", true);
    ASSERT_EQ(codeOf(token), 0);
    EXPECT_EQ(std::get<std::string>(token).size(), 32u);
    EXPECT_TRUE(boost::filesystem::is_regular_file(target));

    FileTokens reopened("Test.Files_1", dir.file("tokens.json"));
    const auto grant = reopened.resolve(std::get<std::string>(token));
    ASSERT_TRUE(grant);
    EXPECT_EQ(grant->path, target);
    EXPECT_EQ(grant->mode, "write");
    EXPECT_FALSE(reopened.resolve("0123456789abcdef0123456789abcdef"));

    // A second token for the same file is a different token.
    EXPECT_NE(std::get<std::string>(issueFileToken(roots, tokens, target, "read", false)),
              std::get<std::string>(token));
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, dir.file("nothing.txt"), "read", false)),
              Errors::kPathNotFound);
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, dir.path().string(), "read", false)),
              Errors::kStorageFileHandle);
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, dir.file("x") + "/", "read", false)),
              Errors::kFileNameExtraction);
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, "x.txt", "read", false)),
              Errors::kPathNotAllowed);
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, target, "append", false)),
              Errors::kInvalidFileHandle);
}

// Root ignores mode bits: as root, the case runs in a child that is user nobody.
TEST_F(FileOperations, UnwritableFilesAndFoldersAreReported) {
    if (::geteuid() == 0) {
        TARVIK_RUN_IN_CHILD({.unprivileged = true});
    }
    ASSERT_NE(::geteuid(), 0u);
    boost::filesystem::create_directories(dir.file("locked"));
    touch(dir.file("locked/secret"));
    ::chmod(dir.file("locked/secret").c_str(), 0);
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, dir.file("locked/secret"), "read", false)),
              Errors::kInvalidFileHandle);
    ::chmod(dir.file("locked").c_str(), 0500);
    EXPECT_EQ(codeOf(issueFileToken(roots, tokens, dir.file("locked/sub/new"), "write", true)),
              Errors::kPathCreate);
    EXPECT_EQ(codeOf(createFolder(roots, dir.file("locked/sub"))), Errors::kPathCreate);
    ::chmod(dir.file("locked").c_str(), 0700);
}

// What the file commands serve: nothing outside the roots, however the path is spelt.
TEST_F(FileOperations, PathsOutsideTheServedFoldersAreRefusedHoweverTheyAreSpelt) {
    const TestSupport::TempDir outside;
    boost::filesystem::create_directories(dir.file("served/inner"));
    touch(outside.file("secret"));
    const FileRoots served({dir.file("served")});
    ::symlink(outside.path().c_str(), dir.file("served/link").c_str());
    const std::string up = dir.file("served/inner/../..");
    const std::vector<std::string> escapes = {
        up,                                 // above the root by ".."
        dir.file("served/../served-twin"),  // a sibling sharing the root's prefix
        dir.file("served-twin/x"),
        dir.file("served/link"),  // a link leading out
        dir.file("served/link/secret"),
        dir.file("served/link/new/deeper"),
        "/etc/passwd",
    };
    for (const auto& path : escapes) {
        SCOPED_TRACE(path);
        EXPECT_EQ(codeOf(listFolder(served, path, true)), Errors::kPathNotAllowed);
        EXPECT_EQ(codeOf(folderExists(served, path)), Errors::kPathNotAllowed);
        EXPECT_EQ(codeOf(createFolder(served, path)), Errors::kPathNotAllowed);
        EXPECT_EQ(codeOf(deleteFolder(served, path)), Errors::kPathNotAllowed);
        EXPECT_EQ(codeOf(issueFileToken(served, tokens, path, "write", true)),
                  Errors::kPathNotAllowed);
    }
    EXPECT_TRUE(boost::filesystem::exists(outside.file("secret")));
    EXPECT_FALSE(boost::filesystem::exists(outside.file("new")));
    const auto refusal = std::get<FileFailure>(listFolder(served, up, false));
    EXPECT_NE(refusal.text.find("outside the served folders"), std::string::npos) << refusal.text;

    // Inside, ".." that stays inside is fine; the root can be listed but never deleted.
    EXPECT_TRUE(std::get<bool>(folderExists(served, dir.file("served/inner/../inner"))));
    EXPECT_EQ(codeOf(listFolder(served, dir.file("served"), false)), 0);
    EXPECT_EQ(codeOf(deleteFolder(served, dir.file("served/inner/.."))), Errors::kPathNotAllowed);
    EXPECT_TRUE(std::get<bool>(deleteFolder(served, dir.file("served/inner"))));
    // The link itself is in the served folder but its target is not; deleting through it
    // is refused, and the target survives.
    EXPECT_TRUE(boost::filesystem::exists(outside.path()));
}

// A link planted in a served folder, dangling or not, at the end or on the way: no
// command follows it, and nothing appears outside.
TEST_F(FileOperations, NoCommandFollowsALinkInsideAServedFolder) {
    const TestSupport::TempDir outside;
    boost::filesystem::create_directories(dir.file("served/inner"));
    touch(outside.file("secret"));
    const FileRoots served({dir.file("served")});
    ::symlink(outside.file("created.txt").c_str(), dir.file("served/dangling").c_str());
    ::symlink(outside.file("made").c_str(), dir.file("served/dangling-folder").c_str());
    ::symlink(outside.file("secret").c_str(), dir.file("served/to-outside").c_str());
    ::symlink(dir.file("served/inner").c_str(), dir.file("served/via").c_str());

    for (const std::string name : {"dangling", "to-outside", "via/new.txt"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file("served/" + name);
        for (const bool create : {false, true}) {
            const auto written = issueFileToken(served, tokens, path, "write", create);
            EXPECT_EQ(codeOf(written), Errors::kPathNotAllowed);
            const auto* f = std::get_if<FileFailure>(&written);
            if (f && name == std::string("dangling")) {
                EXPECT_NE(f->text.find("a link on the way is not followed"), std::string::npos)
                    << f->text;
            }
        }
        EXPECT_EQ(codeOf(issueFileToken(served, tokens, path, "read", false)),
                  Errors::kPathNotAllowed);
    }
    for (const std::string name : {"dangling-folder", "dangling-folder/sub", "via", "via/sub"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file("served/" + name);
        EXPECT_EQ(codeOf(createFolder(served, path)), Errors::kPathNotAllowed);
        EXPECT_EQ(codeOf(folderExists(served, path)), Errors::kPathNotAllowed);
        EXPECT_EQ(codeOf(listFolder(served, path, true)), Errors::kPathNotAllowed);
        EXPECT_EQ(codeOf(deleteFolder(served, path)), Errors::kPathNotAllowed);
    }
    EXPECT_FALSE(boost::filesystem::exists(outside.file("created.txt")));
    EXPECT_FALSE(boost::filesystem::exists(outside.file("made")));
    EXPECT_FALSE(boost::filesystem::exists(dir.file("served/inner/new.txt")));
    EXPECT_FALSE(boost::filesystem::exists(dir.file("served/inner/sub")));
    EXPECT_EQ(TestSupport::readFile(outside.file("secret")), "x");
    // Deleting the folder that holds the links removes the links, not their targets.
    EXPECT_TRUE(std::get<bool>(deleteFolder(served, dir.file("served/inner"))));
    EXPECT_TRUE(boost::filesystem::exists(outside.file("secret")));

    // Both ways of resolving refuse a link at the end and on the way.
    const Descriptor root(::open(dir.file("served").c_str(), O_PATH | O_DIRECTORY));
    for (const auto how : {Resolution::Kernel, Resolution::Walk}) {
        for (const std::string name : {"dangling", "to-outside", "via/x", "dangling-folder/x"}) {
            SCOPED_TRACE(name);
            errno = 0;
            EXPECT_FALSE(openBeneath(root.get(), name, O_WRONLY | O_CREAT, 0600, how));
            EXPECT_EQ(errno, ELOOP);
        }
        EXPECT_TRUE(openBeneath(root.get(), "", O_PATH | O_DIRECTORY, 0, how));
    }
    EXPECT_FALSE(boost::filesystem::exists(outside.file("created.txt")));
}

TEST_F(FileOperations, ARootReachedThroughALinkServesItsTarget) {
    boost::filesystem::create_directories(dir.file("real"));
    ::symlink(dir.file("real").c_str(), dir.file("alias").c_str());
    const FileRoots served({dir.file("alias")});
    EXPECT_TRUE(std::get<bool>(createFolder(served, dir.file("real/made"))));
    EXPECT_TRUE(std::get<bool>(folderExists(served, dir.file("alias/made"))));
    EXPECT_EQ(codeOf(folderExists(FileRoots({}), dir.file("real"))), Errors::kPathNotAllowed);
}

class FileRootsConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
        boost::filesystem::create_directories(dir.file("config/tarvik"));
    }
    void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
    void write(const std::string& text) { std::ofstream(fileRootsConfigPath()) << text; }
    TestSupport::TempDir dir;
};

TEST_F(FileRootsConfig, TheUsersFileNamesTheRootsAndAnUnusableOneServesNothing) {
    EXPECT_EQ(fileRootsConfigPath(), dir.file("config/tarvik/helper.json"));
    // No file: the home folder.
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(FileRoots::fromUserConfig().roots(), FileRoots({home}).roots());

    write(R"({"fileRoots": [")" + dir.path().string() + R"(", "/proc"]})");
    EXPECT_EQ(FileRoots::fromUserConfig().roots(),
              (std::vector<std::string>{dir.path().string(), "/proc"}));

    for (const std::string bad : {R"({"fileRoots": ["relative"]})", R"({"fileRoots": "/"})",
                                  R"({"fileRoots": [1]})", R"({"roots": ["/"]})", "{", ""}) {
        SCOPED_TRACE(bad);
        write(bad);
        EXPECT_TRUE(FileRoots::fromUserConfig().roots().empty());
    }
}

TEST(VirtualKeys, MapBothWaysAndTellSidesOnlyWhenAsked) {
    EXPECT_EQ(mapVirtualKey('A', 0), 0x1Eu);
    EXPECT_EQ(mapVirtualKey(0x1E, 1), static_cast<uint32_t>('A'));
    EXPECT_EQ(mapVirtualKey('A', 2), static_cast<uint32_t>('A'));
    EXPECT_EQ(mapVirtualKey(0xBA, 2), static_cast<uint32_t>(';'));
    // Right Shift is Shift for type 1 and right Shift for type 3.
    EXPECT_EQ(mapVirtualKey(0x36, 1), 0x10u);
    EXPECT_EQ(mapVirtualKey(0x36, 3), 0xA1u);
    EXPECT_EQ(mapVirtualKey(0x1D, 3), 0xA2u);
    EXPECT_EQ(mapVirtualKey(0xE01D, 3), 0xA3u);
    // Home and keypad 7 share 0x47; the scan code finds Home.
    EXPECT_EQ(mapVirtualKey(0x47, 1), 0x24u);
    EXPECT_EQ(mapVirtualKey(0x67, 0), 0x47u);
    EXPECT_EQ(mapVirtualKey(0x25, 4), 0xE04Bu);
    EXPECT_EQ(mapVirtualKey(0x35, 1), 0xBFu);
    EXPECT_EQ(mapVirtualKey(0xE035, 3), 0x6Fu);
    // No mapping, or an unknown type, gives 0.
    EXPECT_EQ(mapVirtualKey(0x07, 0), 0u);
    EXPECT_EQ(mapVirtualKey('A', 9), 0u);
    EXPECT_EQ(mapVirtualKey(0x1234, 1), 0u);
    for (uint32_t vk : {0x08u, 0x0Du, 0x20u, uint32_t{'0'}, uint32_t{'Z'}, 0x70u, 0x7Bu, 0xDEu})
        EXPECT_EQ(mapVirtualKey(mapVirtualKey(vk, 0), 1), vk) << vk;
}

TEST(KeyboardLayout, LocaleNamesGiveLanguageIdentifiers) {
    EXPECT_EQ(languageIdOfLocale("de_CH.UTF-8"), 0x0807);
    EXPECT_EQ(languageIdOfLocale("fr_FR@euro"), 0x040C);
    EXPECT_EQ(languageIdOfLocale("de_LU.UTF-8"), 0x0407);
    EXPECT_EQ(languageIdOfLocale("C.UTF-8"), 0x0409);
    EXPECT_EQ(languageIdOfLocale(""), 0x0409);
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(keyboardLayoutOfSession(), 0x04110411u);
    ::unsetenv("LC_ALL");
}

TEST(EnvironmentStore, ValuesOutliveTheStoreAndFallBackToTheProcess) {
    TestSupport::TempDir dir;
    {
        EnvironmentStore store("Test.Env_1", dir.file("env.json"));
        EXPECT_TRUE(store.set("TARVIK_TEST_VALUE", "a=b c"));
        EXPECT_FALSE(store.set("BAD=NAME", "x"));
        EXPECT_FALSE(store.set("", "x"));
    }
    EnvironmentStore store("Test.Env_1", dir.file("env.json"));
    EXPECT_EQ(store.get("TARVIK_TEST_VALUE"), "a=b c");
    ::setenv("TARVIK_TEST_OWN", "own", 1);
    EXPECT_EQ(store.get("TARVIK_TEST_OWN"), "own");
    EXPECT_EQ(store.get("TARVIK_TEST_NEVER_SET"), "");
    EXPECT_TRUE(store.set("TARVIK_TEST_VALUE", ""));
    EXPECT_EQ(store.get("TARVIK_TEST_VALUE"), "");
}

TEST(ProcessWatcher, EachWatchedProcessIsReportedOnceAndAGoneOneAtOnce) {
    std::mutex m;
    std::vector<uint32_t> ended;
    ProcessWatcher watcher([&](uint32_t pid) {
        std::lock_guard g(m);
        ended.push_back(pid);
    });
    const auto seen = [&] {
        std::lock_guard g(m);
        return ended;
    };
    const pid_t child = TestSupport::spawnSleeper("0.2");
    ASSERT_GT(child, 0);
    watcher.watch(static_cast<uint32_t>(child));
    watcher.watch(static_cast<uint32_t>(child));
    EXPECT_EQ(watcher.watching(), 1u);
    ASSERT_TRUE(eventually([&] { return !seen().empty(); }, 10s));
    ::waitpid(child, nullptr, 0);
    // Gone now: a new watch is answered without waiting.
    watcher.watch(static_cast<uint32_t>(child));
    watcher.watch(0);
    ASSERT_TRUE(eventually([&] { return seen().size() == 3; }, 5s));
    EXPECT_EQ(seen(), (std::vector<uint32_t>{static_cast<uint32_t>(child),
                                             static_cast<uint32_t>(child), 0u}));
    EXPECT_EQ(watcher.watching(), 0u);
}

TEST(ProcessList, HoldsAChildByNameAndIsValidJson) {
    const pid_t child = TestSupport::spawnSleeper("5");
    ASSERT_GT(child, 0);
    // Until the child has replaced its copy of this program, it still carries our name.
    const std::string exe = "/proc/" + std::to_string(child) + "/exe";
    ASSERT_TRUE(eventually([&] {
        boost::system::error_code ec;
        return boost::filesystem::read_symlink(exe, ec).filename() == "sleep";
    }));
    const auto processes = runningProcesses();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const auto found = std::find_if(processes.begin(), processes.end(), [&](const auto& p) {
        return p.id == static_cast<uint32_t>(child);
    });
    ASSERT_NE(found, processes.end());
    EXPECT_EQ(found->name, "sleep");
    const auto json = nlohmann::json::parse(processListJson(processes));
    ASSERT_EQ(json.size(), processes.size());
    EXPECT_TRUE(json[0]["ProcID"].is_number());
    EXPECT_TRUE(json[0]["ProcName"].is_string());
}

TEST(FolderPermissions, MissingOwnerBitsAreFoundAndGrantedThroughTheTree) {
    TestSupport::TempDir dir;
    boost::filesystem::create_directories(dir.file("pkg/inner"));
    touch(dir.file("pkg/inner/data"));
    EXPECT_TRUE(folderGrantsAccess(dir.file("pkg")));
    ::chmod(dir.file("pkg/inner/data").c_str(), 0400);
    ::chmod(dir.file("pkg/inner").c_str(), 0500);
    EXPECT_FALSE(folderGrantsAccess(dir.file("pkg")));
    EXPECT_TRUE(grantFolderAccess(dir.file("pkg")));
    EXPECT_TRUE(folderGrantsAccess(dir.file("pkg")));
    struct stat st {};
    ::stat(dir.file("pkg/inner/data").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(folderGrantsAccess(dir.file("missing")));
    EXPECT_FALSE(grantFolderAccess(dir.file("pkg/inner/data")));
    EXPECT_FALSE(folderGrantsAccess("pkg"));
}

class SocketServerTest : public ::testing::Test {
  protected:
    std::vector<std::pair<uint32_t, std::string>> requests() {
        std::lock_guard g(mutex_);
        return requests_;
    }
    std::mutex mutex_;
    std::vector<std::pair<uint32_t, std::string>> requests_;
    SocketServer server{
        [this](uint32_t n, const std::string& line, std::function<void()> answered) {
            {
                std::lock_guard g(mutex_);
                requests_.emplace_back(n, line);
            }
            answered();
        }};
    boost::asio::io_context io;

    boost::asio::ip::tcp::socket connect(uint16_t port) {
        boost::asio::ip::tcp::socket s(io);
        s.connect({boost::asio::ip::address_v4::loopback(), port});
        return s;
    }
    // One answer line; what arrived so far, marked, when none ends within five seconds.
    static std::string readLine(boost::asio::ip::tcp::socket& s) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{s.native_handle(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            char c = 0;
            if (::recv(s.native_handle(), &c, 1, 0) != 1) break;
            if (c == '\n') return line;
            line.push_back(c);
        }
        return line + " [no complete line in time]";
    }
};

TEST_F(SocketServerTest, ClientsGetTheirOwnNumbersAndTheirOwnAnswers) {
    const uint16_t port = server.open();
    ASSERT_NE(port, 0);
    EXPECT_EQ(server.open(), port);
    ASSERT_TRUE(server.start());
    auto first = connect(port);
    auto second = connect(port);
    boost::asio::write(first, boost::asio::buffer(std::string("hello\r\nsecond line\n")));
    ASSERT_TRUE(eventually([&] { return requests().size() == 2; }));
    boost::asio::write(second, boost::asio::buffer(std::string("from two\n")));
    ASSERT_TRUE(eventually([&] { return requests().size() == 3; }));
    const auto seen = requests();
    EXPECT_EQ(seen[0], std::make_pair(1u, std::string("hello")));
    EXPECT_EQ(seen[1], std::make_pair(1u, std::string("second line")));
    EXPECT_EQ(seen[2].second, "from two");
    const uint32_t two = seen[2].first;
    EXPECT_NE(two, 1u);

    EXPECT_TRUE(server.send(two, "answer two"));
    EXPECT_TRUE(server.send(1, "answer one"));
    EXPECT_EQ(readLine(second), "answer two");
    EXPECT_EQ(readLine(first), "answer one");
    EXPECT_FALSE(server.send(99, "nobody"));
}

TEST_F(SocketServerTest, OverlongLinesCloseTheirClientAndShutdownClosesAll) {
    ASSERT_TRUE(server.start());
    const uint16_t port = server.open();
    auto greedy = connect(port);
    auto calm = connect(port);
    ASSERT_TRUE(eventually([&] { return server.clients() == 2; }));
    const std::string huge(SocketServer::kMaxLine + 10, 'x');
    boost::system::error_code ec;
    boost::asio::write(greedy, boost::asio::buffer(huge), ec);
    ASSERT_TRUE(eventually([&] { return server.clients() == 1; }));
    EXPECT_TRUE(requests().empty());

    server.shutdown();
    EXPECT_EQ(server.clients(), 0u);
    pollfd p{calm.native_handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the client was not closed";
    char byte = 0;
    calm.read_some(boost::asio::buffer(&byte, 1), ec);
    EXPECT_EQ(ec, boost::asio::error::eof);
    // A new start listens again, on a new port.
    EXPECT_TRUE(server.start());
    EXPECT_NE(server.open(), 0);
}

// Any local user can reach the socket server; what one does must not cost the helper
// unbounded memory, its descriptors, or the application's other clients.
class SocketServerUnderLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        Tarvik::ConfigureLogger(2, "W32");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("helper.log")));
        Tarvik::CloseLogFile();
    }
    void TearDown() override {
        Platform::Clock::instance().set_real();
        Tarvik::CloseLogFile();
    }
    int linesWith(const std::string& text) {
        int n = 0;
        for (const auto& line :
             TestSupport::splitLines(TestSupport::readFile(dir.file("helper.log"))))
            n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
    std::size_t requestsFrom(uint32_t n) {
        std::lock_guard g(mutex_);
        return std::count_if(requests_.begin(), requests_.end(),
                             [n](const auto& r) { return r.first == n; });
    }
    // Answers every request of client `n` that waits.
    void answer(uint32_t n) {
        std::vector<std::function<void()>> due;
        {
            std::lock_guard g(mutex_);
            for (auto& [who, done] : unanswered_)
                if (who == n && done) due.push_back(std::exchange(done, nullptr));
        }
        for (auto& done : due) done();
    }
    int connectTo(uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    }

    TestSupport::TempDir dir;
    std::mutex mutex_;
    std::vector<std::pair<uint32_t, std::string>> requests_;
    std::vector<std::pair<uint32_t, std::function<void()>>> unanswered_;
    SocketServer::RequestHandler keep = [this](uint32_t n, const std::string& line,
                                               std::function<void()> answered) {
        std::lock_guard g(mutex_);
        requests_.emplace_back(n, line);
        unanswered_.emplace_back(n, std::move(answered));
    };
};

TEST_F(SocketServerUnderLoad, AFloodOfClientsAndAClientSendingMegabytesStayBounded) {
    SocketServer::Limits limits;
    limits.clients = 8;
    limits.unansweredPerClient = 4;
    SocketServer server(keep, limits);
    ASSERT_TRUE(server.start());
    const uint16_t port = server.open();
    const int calm = connectTo(port);
    ASSERT_TRUE(eventually([&] { return server.clients() == 1; }));
    std::vector<int> flood;
    for (int i = 0; i < 40; ++i) flood.push_back(connectTo(port));
    // Those beyond the cap are closed at once; the first seven stay.
    int hungUp = 0;
    eventually([&] {
        for (int& fd : flood) {
            char byte;
            if (fd >= 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
                ++hungUp;
                ::close(std::exchange(fd, -1));
            }
        }
        return hungUp >= 40 - 7;
    });
    EXPECT_EQ(hungUp, 40 - 7);
    EXPECT_EQ(server.clients(), 8u);
    EXPECT_LE(linesWith("has its most clients"), 2);

    // 32 MiB of empty lines from one client that is never answered: the server takes
    // four, then leaves the rest to the kernel (a few MiB) and the sender waits.
    const int greedy = flood.front();
    ASSERT_GE(greedy, 0);
    const std::string burst(32u << 20, '\n');
    std::size_t sent = 0;
    ::fcntl(greedy, F_SETFL, O_NONBLOCK);
    // A small send buffer, so that what the peer takes shows what it reads.
    const int small = 64 * 1024;
    ::setsockopt(greedy, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    for (int tries = 0; tries < 200 && sent < burst.size(); ++tries) {
        const ssize_t n = ::send(greedy, burst.data() + sent, burst.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(5ms);
    }
    EXPECT_LT(sent, burst.size()) << "the server read every line although none was answered";
    ASSERT_TRUE(eventually([&] { return requestsFrom(2) == 4; }));

    // The application's own client is read and answered meanwhile.
    ASSERT_EQ(::send(calm, "hello\n", 6, MSG_NOSIGNAL), 6);
    ASSERT_TRUE(eventually([&] { return requestsFrom(1) == 1; }));
    answer(1);
    EXPECT_TRUE(server.send(1, "hi"));
    char reply[3] = {};
    ASSERT_EQ(::recv(calm, reply, 3, MSG_WAITALL), 3);
    EXPECT_EQ(std::string(reply, 3), "hi\n");
    EXPECT_EQ(requestsFrom(2), 4u);

    // Answers let the greedy client be read again, four at a time.
    answer(2);
    ASSERT_TRUE(eventually([&] { return requestsFrom(2) == 8; }));
    EXPECT_EQ(requestsFrom(2), 8u);
    for (const int fd : flood)
        if (fd >= 0) ::close(fd);
    ::close(calm);
}

TEST_F(SocketServerUnderLoad, AnswersQueuedForAClientThatNeverReadsAreCapped) {
    SocketServer::Limits limits;
    limits.queuedAnswerBytes = 64 * 1024;
    SocketServer server(keep, limits);
    ASSERT_TRUE(server.start());
    const int sleeper = connectTo(server.open());
    ASSERT_TRUE(eventually([&] { return server.clients() == 1; }));
    const std::string answer(16 * 1024, 'a');
    int accepted = 0;
    for (int i = 0; i < 1000 && server.send(1, answer); ++i) ++accepted;
    EXPECT_LT(accepted, 1000);
    EXPECT_EQ(server.clients(), 0u);
    EXPECT_EQ(linesWith("does not read its answers"), 1);
    ::close(sleeper);
}

// With no descriptor left, accepting fails until one is given back: the server waits
// between attempts and logs the failure once per interval, with a count.
TEST_F(SocketServerUnderLoad, RunningOutOfDescriptorsNeitherSpinsNorFloodsTheLog) {
    auto& clock = Platform::Clock::instance();
    clock.set_manual();
    SocketServer::Limits limits;
    limits.reservedDescriptors = 0;
    SocketServer server(keep, limits);
    const uint16_t port = server.open();
    ASSERT_NE(port, 0);
    std::vector<int> waiting;
    for (int i = 0; i < 5; ++i) waiting.push_back(connectTo(port));
    {
        // The undefined-behaviour sanitizer checks the first object of each type through
        // a descriptor of its own; a first start() with none left fails that check, not
        // the server. One start while there are descriptors.
        SocketServer warm(keep, limits);
        ASSERT_NE(warm.open(), 0);
        ASSERT_TRUE(warm.start());
    }
    TLOG("INF", "descriptors run out now");  // the log file is open before they do
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(highestDescriptor() + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    // Every free number below the limit taken, so that nothing is left to accept with.
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
    const bool started = server.start();
    // The server has failed again and waits for its next attempt.
    const auto waitsAgain = [&] {
        return eventually([&] {
            const auto due = clock.pending();
            return !due.empty() && due.front() > Platform::Clock::duration::zero();
        });
    };
    bool waited = waitsAgain();
    // Thirty back-offs (6 s on the server's clock), then one past the report interval.
    for (int i = 0; i < 30; ++i) {
        clock.advance(limits.acceptBackOff);
        waited = waitsAgain() && waited;
    }
    clock.advance(Platform::RateLimitedWarning::kDefaultInterval);
    waited = waitsAgain() && waited;
    for (const int fd : filler) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(waited);
    const bool reported =
        eventually([&] { return linesWith("accept failed") >= 2; }, std::chrono::seconds(5));
    const int lines = linesWith("accept failed");
    EXPECT_TRUE(started);
    EXPECT_TRUE(reported) << TestSupport::readFile(dir.file("helper.log"));
    EXPECT_LE(lines, 3);
    const std::string text = TestSupport::readFile(dir.file("helper.log"));
    EXPECT_NE(text.find("Too many open files"), std::string::npos) << text;
    EXPECT_NE(text.find("times since the last report"), std::string::npos) << text;
    // Given descriptors back, the waiting clients get in at the next attempt.
    clock.advance(limits.acceptBackOff);
    EXPECT_TRUE(eventually([&] { return server.clients() == waiting.size(); }));
    for (const int fd : waiting) ::close(fd);
}

TEST(SocketServerLimitsConfig, TheUsersFileSetsTheClientCapWithinBounds) {
    TestSupport::TempDir dir;
    const auto write = [&](const std::string& text) {
        std::ofstream(dir.file("helper.json")) << text;
        return socketServerLimits(dir.file("helper.json")).clients;
    };
    const std::size_t standard = SocketServer::Limits{}.clients;
    EXPECT_EQ(socketServerLimits(dir.file("missing.json")).clients, standard);
    EXPECT_EQ(write(R"({"socketServerClients": 5})"), 5u);
    EXPECT_EQ(write(R"({"socketServerClients": 0})"), standard);
    EXPECT_EQ(write(R"({"socketServerClients": 100000})"), standard);
    EXPECT_EQ(write(R"({"socketServerClients": "many"})"), standard);
    EXPECT_EQ(write("not json"), standard);
}
