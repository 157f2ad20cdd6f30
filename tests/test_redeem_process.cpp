// File tokens redeemed from a real helper: the application asks for a token through
// the file manager and redeems it through the platform for a descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>

#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/platform/filetokenredeemer.h>

#include "common/errorcodes.h"
#include "helper/files/filetokens.h"
#include "helperapp.h"
#include "testsupport.h"

using namespace Platform;
using TarvikFoundation::OrvaneFileManager;
using TestSupport::App;
namespace Errors = Tarvik::Errors;

namespace {

constexpr const char* kFamily = "Test.Redeem_1";

std::string readAll(RedeemedFile& file) {
    std::string text(static_cast<std::size_t>(file.Size()), '\0');
    file.Seek(0);
    text.resize(file.Read(std::as_writable_bytes(std::span(text.data(), text.size()))));
    return text;
}

class RedeemProcess : public TestSupport::HelperTest {
  protected:
    void SetUp() override {
        HelperTest::SetUp();
        std::ofstream(dir.file("manifest.json"))
            << R"({"familyName": ")" << kFamily << R"(", "version": "1.0.0.0"})";
        boost::filesystem::create_directories(dir.file("home"));
        app = std::make_unique<App>(dir, kFamily, false);
        OrvaneFileManager::GetInstance()->setAppServiceConnection(app->connection, false);
    }
    void TearDown() override {
        OrvaneFileManager::GetInstance()->setAppServiceConnection(nullptr, false);
    }

    hstring token(const std::string& path, int32_t mode) {
        return OrvaneFileManager::GetInstance()
            ->GetFileTokenAsync(hstring::from_utf8(path), mode, true)
            .get();
    }
    // The code a refused redemption fails with, and that the helper logged why.
    int32_t refusedWith(const hstring& token, FileAccessMode access, const std::string& why) {
        const auto redeemed = FileTokenRedeemer::RedeemAsync(token, access);
        EXPECT_THROW(redeemed.get(), hresult_error);
        EXPECT_TRUE(TestSupport::eventually([&] {
            return TestSupport::readFile(dir.file(std::string(kFamily) + ".log")).find(why) !=
                   std::string::npos;
        })) << "no log line naming \""
            << why << "\"";
        return redeemed.ErrorCode();
    }

    std::unique_ptr<App> app;
};

}  // namespace

TEST_F(RedeemProcess, ARedeemedTokenReadsAndWritesTheFileInItsModeOnly) {
    std::ofstream(dir.file("home/letter.txt")) << "dear reader";
    const hstring reading = token(dir.file("home/letter.txt"), 0);
    auto file = FileTokenRedeemer::RedeemAsync(reading).get();
    EXPECT_EQ(file->Access(), FileAccessMode::Read);
    EXPECT_EQ(::fcntl(file->fd(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(readAll(*file), "dear reader");
    try {
        file->Write(std::as_bytes(std::span("!", 1)));
        ADD_FAILURE() << "a read token's file took a write";
    } catch (const hresult_error& e) {
        EXPECT_EQ(e.code(), hresultFromErrno(EBADF));
    }
    EXPECT_EQ(refusedWith(reading, FileAccessMode::ReadWrite, "grants read access only"),
              Errors::kStorageFileHandle);

    const std::string made = dir.file("home/new/made.txt");
    auto out = FileTokenRedeemer::RedeemAsync(token(made, 1), FileAccessMode::ReadWrite).get();
    out->Write(std::as_bytes(std::span("written outside", 15)));
    out.reset();
    EXPECT_EQ(TestSupport::readFile(made), "written outside");
}

TEST_F(RedeemProcess, ForeignUnknownAndRelinkedTokensAreRefusedWithTheirCodes) {
    std::ofstream(dir.file("home/shared.txt")) << "shared";
    TarvikHelper::FileTokens others("Test.Elsewhere_1");
    const std::string foreign = others.issue({dir.file("home/shared.txt"), "read"});
    ASSERT_EQ(foreign.size(), 32u);
    EXPECT_EQ(refusedWith(hstring::from_utf8(foreign), FileAccessMode::AsGranted,
                          "issued to another package"),
              Errors::kStorageFileHandle);
    EXPECT_EQ(refusedWith(L"ffffffffffffffffffffffffffffffff", FileAccessMode::AsGranted,
                          "no such token was issued to this package"),
              Errors::kStorageFileHandle);

    const TestSupport::TempDir outside;
    std::ofstream(outside.file("private.txt")) << "private";
    const hstring granted = token(dir.file("home/shared.txt"), 1);
    boost::filesystem::remove(dir.file("home/shared.txt"));
    boost::filesystem::create_symlink(outside.file("private.txt"), dir.file("home/shared.txt"));
    EXPECT_EQ(refusedWith(granted, FileAccessMode::AsGranted, "is not followed"),
              Errors::kPathNotAllowed);
    EXPECT_EQ(TestSupport::readFile(outside.file("private.txt")), "private");
}
