// Reading a 1 GiB file through a redeemed file token against reading it directly.
// The helper's redemption (token store, served folders, no-follow opening) answers on
// the package's socket in this process; each redeemed run includes redeeming the
// token. Both ways read the same file with the same 1 MiB buffer, alternately, after
// one warm-up read, so both see the same page cache. Prints the medians and the ratio.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

#include <TarvikFoundation/platform/filetokenredeemer.h>

#include "common/logger.h"
#include "helper/files/fileoperations.h"
#include "helper/files/fileredemption.h"
#include "platform/filetokenservice.h"

namespace {

namespace fs = boost::filesystem;
using Seconds = std::chrono::duration<double>;

constexpr std::size_t kFileSize = std::size_t{1} << 30;
constexpr std::size_t kBuffer = std::size_t{1} << 20;
constexpr int kRuns = 5;

// Reads `fd` to its end; the byte sum keeps the reads from being optimised away.
uint64_t drain(int fd, std::vector<char>& buffer) {
    uint64_t sum = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) return sum;
        sum += static_cast<unsigned char>(buffer[static_cast<std::size_t>(n) - 1]);
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Folder {
    fs::path path = fs::temp_directory_path() / fs::unique_path("tarvik-bench-%%%%-%%%%");
    Folder() { fs::create_directories(path / "served"); }
    ~Folder() {
        boost::system::error_code ec;
        fs::remove_all(path, ec);
    }
};

}  // namespace

int main() {
    Folder folder;
    ::setenv("XDG_RUNTIME_DIR", (folder.path / "run").c_str(), 1);
    fs::create_directories(folder.path / "run");
    const std::string manifest = (folder.path / "manifest.json").string();
    std::ofstream(manifest) << R"({"familyName": "Bench.Redeem_1", "version": "1.0.0.0"})";
    ::setenv("TARVIK_PACKAGE_MANIFEST", manifest.c_str(), 1);
    Tarvik::ConfigureLogger(3, "UWP");

    const std::string file = (folder.path / "served" / "big.bin").string();
    {
        std::vector<char> block(kBuffer);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
        std::ofstream out(file, std::ios::binary);
        for (std::size_t written = 0; written < kFileSize; written += block.size())
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return 1;
        }
    }

    const TarvikHelper::FileRoots roots{{(folder.path / "served").string()}};
    TarvikHelper::FileTokens tokens{"Bench.Redeem_1", (folder.path / "tokens.json").string()};
    const auto issued = TarvikHelper::issueFileToken(roots, tokens, file, "read", false);
    if (!std::holds_alternative<std::string>(issued)) {
        std::fprintf(stderr, "no token: %s\n",
                     std::get<TarvikHelper::FileFailure>(issued).text.c_str());
        return 1;
    }
    const auto token = Platform::hstring::from_utf8(std::get<std::string>(issued));
    Platform::FileTokenService service(
        L"Bench.Redeem_1", ::getpid(), [&](const Platform::FileTokenWire::Request& request) {
            return TarvikHelper::answerRedemption(roots, tokens, request);
        });

    std::vector<char> buffer(kBuffer);
    uint64_t check = 0;
    {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        check += drain(fd, buffer);
        ::close(fd);
    }
    std::vector<double> direct, redeemed, redeemOnly;
    for (int run = 0; run < kRuns; ++run) {
        auto start = std::chrono::steady_clock::now();
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        check += drain(fd, buffer);
        ::close(fd);
        direct.push_back(Seconds(std::chrono::steady_clock::now() - start).count());

        start = std::chrono::steady_clock::now();
        auto opened = Platform::FileTokenRedeemer::RedeemAsync(token).get();
        redeemOnly.push_back(Seconds(std::chrono::steady_clock::now() - start).count());
        check += drain(opened->fd(), buffer);
        opened.reset();
        redeemed.push_back(Seconds(std::chrono::steady_clock::now() - start).count());
    }

    // Redeeming alone, many times: the fixed cost that a run above pays once.
    std::vector<double> redeemAlone;
    for (int i = 0; i < 50; ++i) {
        const auto start = std::chrono::steady_clock::now();
        Platform::FileTokenRedeemer::RedeemAsync(token).get();
        redeemAlone.push_back(Seconds(std::chrono::steady_clock::now() - start).count());
    }

    const double gib = static_cast<double>(kFileSize) / (1 << 30);
    const double directRate = gib / median(direct), redeemedRate = gib / median(redeemed);
    std::printf("1 GiB read, %d runs each, medians (check %llu)\n", kRuns,
                static_cast<unsigned long long>(check % 1000));
    std::printf("  direct open + read:        %.3f s  %.2f GiB/s\n", median(direct), directRate);
    std::printf("  redeemed token + read:     %.3f s  %.2f GiB/s  (redeeming %.0f us)\n",
                median(redeemed), redeemedRate, median(redeemOnly) * 1e6);
    std::printf("  redeeming alone, median of 50: %.0f us\n", median(redeemAlone) * 1e6);
    std::printf("  ratio redeemed / direct:   %.3f  (target >= 0.9)\n", redeemedRate / directRate);
    return 0;
}
