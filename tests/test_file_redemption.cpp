// Redeeming file tokens in-process: the store's lifetime and size, the helper's rules
// for what a token opens, and the platform's socket that passes the descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/filetokenredeemer.h>

#include "common/errorcodes.h"
#include "helper/files/beneathopen.h"
#include "helper/files/fileoperations.h"
#include "helper/files/fileredemption.h"
#include "platform/filetokenservice.h"
#include "testsupport.h"

using namespace TarvikHelper;
using namespace std::chrono_literals;
using Platform::FileAccessMode;
namespace Errors = Tarvik::Errors;

namespace {

struct Refusal {
    int32_t code = 0;
    std::string text;
};

Refusal refusalOf(const FileResult<std::unique_ptr<Platform::RedeemedFile>>& result) {
    const auto* failure = std::get_if<FileFailure>(&result);
    return failure ? Refusal{failure->code, failure->text} : Refusal{};
}

std::string contents(Platform::RedeemedFile& file) {
    std::string text(static_cast<std::size_t>(file.Size()), '\0');
    file.Seek(0);
    const auto n = file.Read(std::as_writable_bytes(std::span(text.data(), text.size())));
    text.resize(n);
    return text;
}

std::size_t stored(const std::string& file) {
    return nlohmann::json::parse(TestSupport::readFile(file)).size();
}

class Redemption : public ::testing::Test {
  protected:
    void SetUp() override {
        Platform::Clock::instance().set_manual();
        std::ofstream(dir.file("served/note.txt")) << "hello";
    }
    void TearDown() override { Platform::Clock::instance().set_real(); }

    std::string issue(const std::string& name, const std::string& mode) {
        const auto token = issueFileToken(roots, tokens, dir.file("served/" + name), mode, true);
        EXPECT_TRUE(std::holds_alternative<std::string>(token));
        return std::holds_alternative<std::string>(token) ? std::get<std::string>(token) : "";
    }

    TestSupport::TempDir dir;
    bool made = boost::filesystem::create_directories(dir.file("served")) &&
                boost::filesystem::create_directories(dir.file("tokens"));
    FileRoots roots{{dir.file("served")}};
    FileTokens tokens{"Test.Own_1", dir.file("tokens/Test.Own_1.json")};
};

}  // namespace

TEST_F(Redemption, TheStoreKeepsOneEntryPerLivePathAndModeAndDropsExpiredOnes) {
    const std::string first = issue("note.txt", "read");
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(issue("note.txt", "read"), first);
    const std::string writing = issue("note.txt", "write");
    EXPECT_NE(writing, first);
    EXPECT_EQ(stored(dir.file("tokens/Test.Own_1.json")), 2u);

    // Renewed past half its life: still the same token, alive a whole lifetime on.
    Platform::Clock::instance().advance(kFileTokenLifetime * 3 / 4);
    EXPECT_EQ(issue("note.txt", "read"), first);
    Platform::Clock::instance().advance(kFileTokenLifetime * 3 / 4);
    EXPECT_TRUE(tokens.resolve(first));
    EXPECT_EQ(tokens.lookup(writing).standing, FileTokens::Standing::Expired);

    // The expired one goes at the next issue, and when the store is loaded again.
    issue("other.txt", "write");
    EXPECT_EQ(stored(dir.file("tokens/Test.Own_1.json")), 2u);
    Platform::Clock::instance().advance(kFileTokenLifetime * 2);
    const FileTokens reloaded{"Test.Own_1", dir.file("tokens/Test.Own_1.json")};
    EXPECT_EQ(stored(dir.file("tokens/Test.Own_1.json")), 0u);
}

TEST_F(Redemption, TokensOpenTheirFileInTheirOwnModeOnly) {
    const std::string reading = issue("note.txt", "read");
    auto result = redeemFileToken(roots, tokens, reading, FileAccessMode::AsGranted);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<Platform::RedeemedFile>>(result));
    auto& file = *std::get<std::unique_ptr<Platform::RedeemedFile>>(result);
    EXPECT_EQ(file.Access(), FileAccessMode::Read);
    EXPECT_EQ(::fcntl(file.fd(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(contents(file), "hello");
    try {
        file.Write(std::as_bytes(std::span("x", 1)));
        ADD_FAILURE() << "a read token's file took a write";
    } catch (const Platform::hresult_error& e) {
        EXPECT_EQ(e.code(), Platform::hresultFromErrno(EBADF));
    }
    const auto asked =
        refusalOf(redeemFileToken(roots, tokens, reading, FileAccessMode::ReadWrite));
    EXPECT_EQ(asked.code, Errors::kStorageFileHandle);
    EXPECT_NE(asked.text.find("grants read access only"), std::string::npos) << asked.text;

    // "write" opens without truncating: what is there stays until overwritten.
    const std::string writing = issue("note.txt", "write");
    auto written = redeemFileToken(roots, tokens, writing, FileAccessMode::ReadWrite);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<Platform::RedeemedFile>>(written));
    auto& out = *std::get<std::unique_ptr<Platform::RedeemedFile>>(written);
    EXPECT_EQ(out.Size(), 5u);
    out.Seek(5);
    out.Write(std::as_bytes(std::span(" there", 6)));
    EXPECT_EQ(TestSupport::readFile(dir.file("served/note.txt")), "hello there");
}

TEST_F(Redemption, UnknownForeignAndExpiredTokensAreRefusedWithTheirReason) {
    const std::string own = issue("note.txt", "read");
    FileTokens others{"Test.Other_1", dir.file("tokens/Test.Other_1.json")};
    const auto foreign = issueFileToken(roots, others, dir.file("served/note.txt"), "read", false);
    ASSERT_TRUE(std::holds_alternative<std::string>(foreign));

    const auto foreignRefusal = refusalOf(
        redeemFileToken(roots, tokens, std::get<std::string>(foreign), FileAccessMode::Read));
    EXPECT_EQ(foreignRefusal.code, Errors::kStorageFileHandle);
    EXPECT_NE(foreignRefusal.text.find("issued to another package"), std::string::npos);
    const auto unknown = refusalOf(
        redeemFileToken(roots, tokens, "0123456789abcdef0123456789abcdef", FileAccessMode::Read));
    EXPECT_EQ(unknown.code, Errors::kStorageFileHandle);
    EXPECT_NE(unknown.text.find("no such token"), std::string::npos) << unknown.text;
    EXPECT_EQ(
        refusalOf(redeemFileToken(roots, tokens, "../../etc/passwd", FileAccessMode::Read)).code,
        Errors::kStorageFileHandle);

    Platform::Clock::instance().advance(kFileTokenLifetime + 1s);
    const auto expired = refusalOf(redeemFileToken(roots, tokens, own, FileAccessMode::Read));
    EXPECT_EQ(expired.code, Errors::kStorageFileHandle);
    EXPECT_NE(expired.text.find("expired"), std::string::npos) << expired.text;
}

TEST_F(Redemption, AFileReplacedByALinkOrMovedOutOfTheServedFoldersIsNotOpened) {
    const TestSupport::TempDir outside;
    std::ofstream(outside.file("secret.txt")) << "secret";
    boost::filesystem::create_directories(dir.file("served/sub"));
    std::ofstream(dir.file("served/sub/inner.txt")) << "inner";
    const std::string leaf = issue("note.txt", "write");
    const std::string deep = issue("sub/inner.txt", "read");

    boost::filesystem::remove(dir.file("served/note.txt"));
    boost::filesystem::create_symlink(outside.file("secret.txt"), dir.file("served/note.txt"));
    const auto linked = refusalOf(redeemFileToken(roots, tokens, leaf, FileAccessMode::AsGranted));
    EXPECT_EQ(linked.code, Errors::kPathNotAllowed);
    EXPECT_NE(linked.text.find("link"), std::string::npos) << linked.text;

    // A folder on the way swapped for a link counts as much as the file itself.
    boost::filesystem::rename(dir.file("served/sub"), outside.file("sub"));
    boost::filesystem::create_symlink(outside.file("sub"), dir.file("served/sub"));
    EXPECT_EQ(refusalOf(redeemFileToken(roots, tokens, deep, FileAccessMode::Read)).code,
              Errors::kPathNotAllowed);
    EXPECT_EQ(TestSupport::readFile(outside.file("secret.txt")), "secret");

    // The user narrowed what is served: the token no longer reaches its file.
    const FileRoots narrowed{{dir.file("served/sub")}};
    boost::filesystem::remove(dir.file("served/note.txt"));
    std::ofstream(dir.file("served/note.txt")) << "back";
    const auto left = refusalOf(redeemFileToken(narrowed, tokens, leaf, FileAccessMode::AsGranted));
    EXPECT_EQ(left.code, Errors::kPathNotAllowed);
    EXPECT_NE(left.text.find("no longer inside the served folders"), std::string::npos);
    boost::filesystem::remove(dir.file("served/note.txt"));
    EXPECT_EQ(refusalOf(redeemFileToken(roots, tokens, leaf, FileAccessMode::AsGranted)).code,
              Errors::kPathNotFound);
}

TEST(BeneathOpening, BothWaysRefuseEveryLinkBelowTheRootAndOpenPlainPaths) {
    const TestSupport::TempDir dir;
    boost::filesystem::create_directories(dir.file("root/a/b"));
    std::ofstream(dir.file("root/a/b/file.txt")) << "x";
    boost::filesystem::create_directory_symlink(dir.file("root/a"), dir.file("root/alias"));
    boost::filesystem::create_symlink(dir.file("root/a/b/file.txt"), dir.file("root/a/link.txt"));
    const FileRoots roots{{dir.file("root")}};
    for (const auto method : {BeneathMethod::Best, BeneathMethod::Walk}) {
        SCOPED_TRACE(method == BeneathMethod::Best ? "best" : "walk");
        const auto plain =
            openBeneathServedRoot(roots, dir.file("root/a/b/file.txt"), O_RDONLY, method);
        EXPECT_GE(plain.fd, 0);
        if (plain.fd >= 0) ::close(plain.fd);
        EXPECT_EQ(
            openBeneathServedRoot(roots, dir.file("root/alias/b/file.txt"), O_RDONLY, method).error,
            ELOOP);
        EXPECT_EQ(openBeneathServedRoot(roots, dir.file("root/a/link.txt"), O_RDONLY, method).error,
                  ELOOP);
        EXPECT_EQ(openBeneathServedRoot(roots, dir.file("root/a/none.txt"), O_RDONLY, method).error,
                  ENOENT);
        EXPECT_EQ(openBeneathServedRoot(roots, dir.file("elsewhere.txt"), O_RDONLY, method).error,
                  EXDEV);
    }
}

TEST(RedemptionSocket, PassesTheDescriptorToTheExpectedPeerOnly) {
    const TestSupport::TempDir dir;
    ::setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
    boost::filesystem::create_directories(dir.file("run"));
    std::ofstream(dir.file("manifest.json"))
        << R"({"familyName": "Test.Socket_1", "version": "1.0.0.0"})";
    ::setenv("TARVIK_PACKAGE_MANIFEST", dir.file("manifest.json").c_str(), 1);
    std::ofstream(dir.file("data.txt")) << "passed";

    std::vector<std::string> asked;
    auto answer = [&](const Platform::FileTokenWire::Request& request) {
        asked.push_back(request.token);
        if (request.token != "good")
            return Platform::FileTokenWire::Answer{Errors::kStorageFileHandle,
                                                   FileAccessMode::AsGranted, -1};
        return Platform::FileTokenWire::Answer{0, FileAccessMode::Read,
                                               ::open(dir.file("data.txt").c_str(), O_RDONLY)};
    };
    {
        Platform::FileTokenService service(L"Test.Socket_1", ::getpid(), answer);
        EXPECT_EQ(boost::filesystem::status(service.path()).permissions(),
                  boost::filesystem::owner_read | boost::filesystem::owner_write);
        auto file = Platform::FileTokenRedeemer::RedeemAsync(L"good").get();
        EXPECT_EQ(file->Access(), FileAccessMode::Read);
        EXPECT_EQ(contents(*file), "passed");
        const auto refused = Platform::FileTokenRedeemer::RedeemAsync(L"bad");
        EXPECT_THROW(refused.get(), Platform::hresult_error);
        EXPECT_EQ(refused.ErrorCode(), Errors::kStorageFileHandle);
    }
    {
        // Another process's service: this one is not the application it serves.
        Platform::FileTokenService service(L"Test.Socket_1", ::getppid(), answer);
        const auto refused = Platform::FileTokenRedeemer::RedeemAsync(L"good");
        EXPECT_THROW(refused.get(), Platform::hresult_error);
        EXPECT_EQ(static_cast<uint32_t>(refused.ErrorCode()), 0x80070005u);
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"good", "bad"}));
    const auto nobody = Platform::FileTokenRedeemer::RedeemAsync(L"good");
    EXPECT_THROW(nobody.get(), Platform::hresult_error);
    EXPECT_EQ(nobody.ErrorCode(), Platform::hresultFromErrno(ENOENT));
}
