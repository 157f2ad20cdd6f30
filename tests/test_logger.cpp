#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <new>
#include <regex>
#include <thread>
#include <vector>

#include <TarvikFoundation/platform/hstring.h>
#include <TarvikFoundation/platform/linger.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "common/logger.h"
#include "platform/diagnostics.h"
#include "platform/durablefile.h"
#include "testsupport.h"

using namespace Tarvik;
using TestSupport::readFile;

namespace {

constexpr const char* kFile = "C:\\src\\common\\tarvikappserviceconnection.cpp";
constexpr const char* kFunc = "Tarvik::TarvikAppServiceConnection::addCommand";

std::string hexTid() {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", Platform::current_thread_id());
    return buf;
}

// A log file of its own per test; the header is built once per process.
class LoggerFile : public ::testing::Test {
  protected:
    void SetUp() override { useLevel(2); }
    void useLevel(uint32_t level) {
        ConfigureLogger(level, "UWP");
        SetLogFilePath(Platform::utf8_to_wide(path));
        CloseLogFile();
    }
    void TearDown() override { CloseLogFile(); }
    std::string content() const { return readFile(path); }
    // The file's content after its header, checking that the header is the process's.
    std::string body() const {
        const std::string text = content();
        static const std::regex header(
            "^\n\n-------- \\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d start_UWP " +
            std::to_string(Platform::current_process_id()) + " 1\\.1\\.37 --------\n\n");
        std::smatch m;
        EXPECT_TRUE(std::regex_search(text, m, header)) << text.substr(0, 120);
        return m.empty() ? text : text.substr(static_cast<std::size_t>(m.length(0)));
    }
    static std::string expectedLine(const std::string& stamp, const std::string& level, int line,
                                    const std::string& message) {
        return "UWP [" + hexTid() + "] " + stamp + " " + level +
               " tarvikappserviceconnection.cpp:" + std::to_string(line) + " " + kFunc + " " +
               message;
    }
    TestSupport::TempDir dir;
    std::string path = dir.file("logs/TRVK.log");
};

}  // namespace

TEST_F(LoggerFile, LineIsPrefixPlusMessageByteForByte) {
    const std::string before = GetTimeStamp();
    LogMessage("INF", kFile, kFunc, 123, "%s add cmd %d", "_", 31);
    const std::string after = GetTimeStamp();
    const std::string text = body();
    EXPECT_TRUE(text == expectedLine(before, "INF", 123, "_ add cmd 31\n") ||
                text == expectedLine(after, "INF", 123, "_ add cmd 31\n"))
        << text;
}

TEST_F(LoggerFile, ThresholdDropsLowerRanksAndClampsAtFour) {
    EXPECT_EQ(LogMessage("DBG", kFile, kFunc, 1, "dbg"), -1);
    EXPECT_EQ(LogMessage("{", kFile, kFunc, 1, ""), -1);
    EXPECT_EQ(LogMessage("}", kFile, kFunc, 1, ""), -1);
    EXPECT_GT(LogMessage("INF", kFile, kFunc, 2, "inf"), 0);
    EXPECT_GT(LogMessage("WRN", kFile, kFunc, 3, "wrn"), 0);
    EXPECT_GT(LogMessage("CRT", kFile, kFunc, 4, "crt"), 0);

    useLevel(9);
    EXPECT_EQ(GetLogThreshold(), 4u);
    EXPECT_EQ(LogMessage("WRN", kFile, kFunc, 5, "wrn9"), -1);
    EXPECT_GT(LogMessage("CRT", kFile, kFunc, 6, "crt9"), 0);
    EXPECT_GT(LogMessage("ERR", kFile, kFunc, 7, "other9"), 0);

    const std::string text = content();
    for (const char* written : {" inf\n", " wrn\n", " crt\n", " crt9\n", " other9\n"})
        EXPECT_NE(text.find(written), std::string::npos) << written;
    for (const char* dropped : {" dbg\n", " wrn9\n", " { ", " } "})
        EXPECT_EQ(text.find(dropped), std::string::npos) << dropped;
}

// The macro decides at the call site whether to call at all: it must drop and write
// exactly what the call itself would, for literal levels and for levels made at run time.
TEST_F(LoggerFile, MacroDropsExactlyWhatTheCallDrops) {
    const std::string made = std::string("D") + "BG";
    for (uint32_t level = 0; level <= 4; ++level) {
        useLevel(level);
        const auto check = [&](const char* name, int viaMacro) {
            const bool macroDropped = viaMacro == -1;
            const bool callDropped = LogMessage(name, kFile, kFunc, 9, "call") == -1;
            EXPECT_EQ(macroDropped, callDropped) << "level " << level << " line " << name;
        };
        check("{", TLOG("{", "macro"));
        check("}", TLOG("}", "macro"));
        check("a{b", TLOG("a{b", "macro"));
        check("DBG", TLOG("DBG", "macro"));
        check("INF", TLOG("INF", "macro"));
        check("WRN", TLOG("WRN", "macro"));
        check("CRT", TLOG("CRT", "macro"));
        check("DBGX", TLOG("DBGX", "macro"));
        check(made.c_str(), TLOG(made.c_str(), "macro"));
        check("WRN", TLOGW("WRN", L"wide"));
    }
    useLevel(1);
    const std::size_t before = content().size();
    { LogScope scope(kFile, kFunc, 78); }
    EXPECT_EQ(content().size(), before) << "scope markers are written only at level 0";
}

TEST_F(LoggerFile, EntryAndExitMarkersAtLevelZero) {
    useLevel(0);
    { LogScope scope(kFile, kFunc, 77); }
    const std::string text = body();
    // The stamp may tick between the two lines: match it by its shape.
    const std::string stamp = "\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";
    const std::string rest = " tarvikappserviceconnection\\.cpp:77 " + std::string(kFunc) + " \n";
    const std::regex expected("UWP \\[" + hexTid() + "\\] " + stamp + " \\{" + rest + "UWP \\[" +
                              hexTid() + "\\] " + stamp + " \\}" + rest);
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LoggerFile, LongMessageIsCutWithoutNewline) {
    const std::string longText(5000, 'x');
    LogMessage("INF", kFile, kFunc, 9, "%s", longText.c_str());
    LogMessage("INF", kFile, kFunc, 10, "next");
    const std::string text = body();
    ASSERT_GT(text.size(), 4095u);
    EXPECT_EQ(text.find('\n'), text.size() - 1);  // only the second line ends in a newline
    EXPECT_EQ(text.substr(4090, 5), "xxxxx");
    EXPECT_EQ(text.substr(4095, 5), "UWP [");
    EXPECT_EQ(text.substr(text.size() - 6), " next\n");
}

// A line is at most 4095 bytes: a message that fills them loses the newline, one a byte
// shorter keeps it. The stamp has a fixed width, so the prefix length is known ahead.
TEST_F(LoggerFile, MessageFillingTheBufferExactlyHasNoNewline) {
    const std::string stamp = GetTimeStamp();
    ASSERT_EQ(stamp.size(), 17u) << stamp;
    const std::string prefix =
        "UWP [" + hexTid() + "] " + stamp + " INF tarvikappserviceconnection.cpp:11 " + kFunc + " ";
    const std::string fills(4095 - prefix.size(), 'y');
    const std::string fitsWithNewline(4094 - prefix.size(), 'z');
    LogMessage("INF", kFile, kFunc, 11, "%s", fills.c_str());
    LogMessage("INF", kFile, kFunc, 11, "%s", fitsWithNewline.c_str());
    const std::string text = body();
    ASSERT_EQ(text.size(), 2u * 4095u);
    EXPECT_EQ(text.substr(4092, 4), "yyyU");  // no newline: the next line follows
    EXPECT_EQ(text.substr(4095, 5), "UWP [");
    EXPECT_EQ(text.substr(text.size() - 3), "zz\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(LoggerFile, PlatformLengthFormsAndWideStrings) {
    LogMessage("INF", kFile, kFunc, 1, "id %I64d u %I64u x %I64x", int64_t{-9000000000},
               uint64_t{18446744073709551614ull}, uint64_t{0xABCDEF012345ull});
    LogMessage("INF", kFile, kFunc, 2, "exception %S", L"caf\u00e9");
    LogMessageWide("INF", kFile, kFunc, 3, L"wide %s narrow %S n %I64d", L"\u20ac", "abc",
                   int64_t{7});
    const std::string text = content();
    EXPECT_NE(text.find(" id -9000000000 u 18446744073709551614 x abcdef012345\n"),
              std::string::npos);
    EXPECT_NE(text.find(" exception caf\xC3\xA9\n"), std::string::npos);
    EXPECT_NE(text.find(" wide \xE2\x82\xAC narrow abc n 7\n"), std::string::npos);
}

TEST_F(LoggerFile, SourcePathWithoutSeparatorIsPrintedWhole) {
    LogMessage("INF", "plainfile.cpp", kFunc, 5, "m");
    EXPECT_NE(content().find(" INF plainfile.cpp:5 "), std::string::npos);
}

TEST_F(LoggerFile, RotationStartsAFreshFileWithTheSameHeader) {
    boost::filesystem::create_directories(dir.path() / "logs");
    {
        std::ofstream prefill(path, std::ios::binary);
        prefill << std::string(4194304 - 50, 'a');
    }
    LogMessage("INF", kFile, kFunc, 1, "before rotation");
    const std::string first = content();
    ASSERT_GE(first.size(), 4194304u);
    const std::string header =
        first.substr(4194304 - 50, first.find("UWP [", 4194304 - 50) - (4194304 - 50));
    LogMessage("INF", kFile, kFunc, 2, "after rotation");
    const std::string second = content();
    EXPECT_LT(second.size(), 1000u);
    EXPECT_EQ(second.substr(0, header.size()), header);
    EXPECT_NE(second.find(" after rotation\n"), std::string::npos);
    EXPECT_EQ(second.find("before rotation"), std::string::npos);
}

TEST_F(LoggerFile, UnopenablePathFallsBackToProcessIdFile) {
    boost::filesystem::create_directories(path);  // a folder where the file should be
    LogMessage("INF", kFile, kFunc, 1, "to fallback");
    const std::string fallback =
        dir.file("logs/" + std::to_string(Platform::current_process_id()) + ".log");
    EXPECT_EQ(Platform::wide_to_utf8(GetLogFilePath()), fallback);
    const std::string text = readFile(fallback);
    EXPECT_EQ(text.rfind("\n\n-------- ", 0), 0u);
    EXPECT_NE(text.find(" to fallback\n"), std::string::npos);
}

// A log file's place taken by a link or by a second name of another file (as a confined
// application can do in its own folders): nothing reaches the other file; the line goes
// to the fallback file instead.
TEST_F(LoggerFile, ALinkOrASecondNameInTheLogsPlaceIsNotWrittenThrough) {
    const std::string victim = dir.file("victim.txt");
    std::ofstream(victim) << "untouched\n";
    boost::filesystem::create_directories(dir.file("logs"));
    boost::filesystem::create_symlink(victim, path);
    LogMessage("INF", kFile, kFunc, 1, "through a link");
    CloseLogFile();
    boost::filesystem::remove(path);
    boost::filesystem::create_hard_link(victim, path);
    SetLogFilePath(Platform::utf8_to_wide(path));
    LogMessage("INF", kFile, kFunc, 2, "through a second name");
    CloseLogFile();
    EXPECT_EQ(readFile(victim), "untouched\n");
    const std::string fallback =
        readFile(dir.file("logs/" + std::to_string(Platform::current_process_id()) + ".log"));
    EXPECT_NE(fallback.find(" through a link\n"), std::string::npos);
    EXPECT_NE(fallback.find(" through a second name\n"), std::string::npos);
}

// A value from another process cannot start a line of its own in the log.
TEST_F(LoggerFile, ControlCharactersInAMessageStayOnItsLine) {
    LogMessage("INF", kFile, kFunc, 1, "name %s", "x\necho injected #\r");
    LogMessageWide("INF", kFile, kFunc, 2, L"wide %s", L"y\nz");
    const std::string text = body();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_NE(text.find(" name x echo injected # \n"), std::string::npos) << text;
    EXPECT_NE(text.find(" wide y z\n"), std::string::npos) << text;
}

// Nor can it end a line for a reader that splits on Unicode separators, or send the
// terminal showing the log an escape; the other characters of the value stay as they are.
TEST_F(LoggerFile, DelC1ControlsAndUnicodeSeparatorsBecomeBlanks) {
    LogMessage("INF", kFile, kFunc, 1, "v %s",
               "a\x7f"
               "b\xc2\x85"
               "c\xc2\x9b"
               "d\xe2\x80\xa8"
               "e\xe2\x80\xa9"
               "f");
    LogMessage("INF", kFile, kFunc, 2, "k %s", "\xc2\xa0\xc3\xa9\xe2\x80\xa6\xf0\x9f\x99\x82\xc2");
    LogMessageWide("INF", kFile, kFunc, 3, L"w %s", L"g\u2028h\u0085i\u007fj");
    const std::string text = body();
    EXPECT_NE(text.find(" v a b  c  d   e   f\n"), std::string::npos) << text;
    // No-break space, an accent, an ellipsis and a character beyond the BMP are kept; a
    // cut sequence is not UTF-8.
    EXPECT_NE(text.find(" k \xc2\xa0\xc3\xa9\xe2\x80\xa6\xf0\x9f\x99\x82?\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find(" w g   h  i j\n"), std::string::npos) << text;
}

// Bytes that are not UTF-8 (a peer's binary datagram quoted in an error) would make
// text tools take the whole log for binary data: each becomes '?'.
TEST_F(LoggerFile, BytesThatAreNotUtf8BecomeQuestionMarks) {
    LogMessage("INF", kFile, kFunc, 1, "b %s",
               "\xff\xfe"           // never in UTF-8
               "a\x80"              // a continuation byte alone
               "b\xc0\xaf"          // an overlong '/'
               "c\xed\xa0\x80"      // a surrogate
               "d\xe2\x82"          // cut before its last byte
               "e\xf5\x80\x80\x80"  // beyond U+10FFFF
               "f");
    const std::string text = body();
    EXPECT_NE(text.find(" b ??a?b??c???d??e????f\n"), std::string::npos) << text;
}

TEST_F(LoggerFile, NewPathTakesEffectOnlyAfterTheOpenFileCloses) {
    LogMessage("INF", kFile, kFunc, 1, "first");
    const std::string other = dir.file("logs/other.log");
    SetLogFilePath(Platform::utf8_to_wide(other));
    LogMessage("INF", kFile, kFunc, 2, "second");
    const std::string text = content();
    EXPECT_NE(text.find(" second\n"), std::string::npos);
    // The header is written again into the open file.
    EXPECT_NE(text.find("-------- ", text.find(" first\n")), std::string::npos);
    EXPECT_FALSE(boost::filesystem::exists(other));
    CloseLogFile();
    LogMessage("INF", kFile, kFunc, 3, "third");
    EXPECT_NE(readFile(other).find(" third\n"), std::string::npos);
}

TEST(LoggerSinks, WithoutPathLinesGoToStandardError) {
    CloseLogFile();
    ConfigureLogger(2, "UWP");
    SetLogFilePath(L"");
    testing::internal::CaptureStderr();
    LogMessage("WRN", kFile, kFunc, 8, "to debugger %d", 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" WRN tarvikappserviceconnection.cpp:8 " + std::string(kFunc) +
                       " to debugger 1\n"),
              std::string::npos)
        << err;
}

TEST(LoggerNames, SignaturesReduceToQualifiedNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"void Tarvik::ResultsCache::storeResult(uint64_t, const Platform::ValueSet&)",
         "Tarvik::ResultsCache::storeResult"},
        {"static bool Tarvik::ResultsCache::isReqInProgress(uint64_t)",
         "Tarvik::ResultsCache::isReqInProgress"},
        {"Tarvik::ResultsCache::ResultsCache()", "Tarvik::ResultsCache::ResultsCache"},
        {"std::map<int, std::basic_string<char> > ns::C::get(int) const", "ns::C::get"},
        {"const char* ns::name()", "ns::name"},
        {"Tarvik::Conn::send(Platform::ValueSet)::<lambda()>",
         "Tarvik::Conn::send::<lambda>::operator ()"},
        {"T Tarvik::OrvaneTemplateUtils::getResult(int) [with T = bool]",
         "Tarvik::OrvaneTemplateUtils::getResult"},
        {"void Tarvik::Foo::operator()(int)", "Tarvik::Foo::operator()"},
        {"bool Tarvik::Foo::operator<(const Tarvik::Foo&) const", "Tarvik::Foo::operator<"},
        {"int main()", "main"},
        {"Tarvik::Already::Qualified", "Tarvik::Already::Qualified"},
    };
    for (const auto& [sig, expected] : cases) {
        char out[256];
        QualifiedFunctionName(sig, out, sizeof out);
        EXPECT_STREQ(out, expected) << sig;
    }
}

// Concurrent writers of the log file share commits. A held first commit lets the other
// writers write while it lasts; every commit records the file size when it began,
// which is what it covers.
namespace {

class HeldCommits {
  public:
    explicit HeldCommits(bool failSecond) : failSecond_(failSecond) {}
    Platform::DurableFile::Sync sync() {
        return [this](int fd) {
            struct stat st {};
            ::fstat(fd, &st);
            std::unique_lock lk(m_);
            const int n = ++commits_;
            cv_.notify_all();
            if (n == 1) cv_.wait(lk, [&] { return released_; });
            if (n == 2 && failSecond_) return -1;
            synced_ = std::max<uint64_t>(synced_, static_cast<uint64_t>(st.st_size));
            return 0;
        };
    }
    void waitForCommits(int n) {
        std::unique_lock lk(m_);
        cv_.wait(lk, [&] { return commits_ >= n; });
    }
    void release() {
        std::lock_guard g(m_);
        released_ = true;
        cv_.notify_all();
    }
    int commits() {
        std::lock_guard g(m_);
        return commits_;
    }
    uint64_t synced() {
        std::lock_guard g(m_);
        return synced_;
    }

  private:
    const bool failSecond_;
    std::mutex m_;
    std::condition_variable cv_;
    int commits_ = 0;
    bool released_ = false;
    uint64_t synced_ = 0;
};

struct CommitRun {
    bool first = false;  // the writer of the held commit
    // The writers that came while it was held; not a vector of bits, whose elements
    // share words, as each thread sets its own.
    std::vector<char> others;
    std::vector<uint64_t> endOffsets;  // where each of the others' lines ended
    std::vector<uint64_t> syncedWhenReturned;
    int commits = 0;
    std::string text;
};

CommitRun writeWhileTheFirstCommitIsHeld(bool failSecond, int writers) {
    TestSupport::TempDir dir;
    HeldCommits held(failSecond);
    CommitRun run;
    {
        Platform::DurableFile file(held.sync());
        EXPECT_TRUE(file.open_append(dir.file("TRVK.log")));
        std::mutex appending;  // the logger's lock: one append at a time
        std::thread first([&] { run.first = file.write_committed("first\n", 6); });
        held.waitForCommits(1);
        run.others.assign(static_cast<std::size_t>(writers), false);
        run.endOffsets.assign(static_cast<std::size_t>(writers), 0);
        run.syncedWhenReturned.assign(static_cast<std::size_t>(writers), 0);
        std::atomic<int> appended{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < writers; ++i)
            threads.emplace_back([&, i] {
                Platform::DurableFile::Ticket ticket;
                const std::string line = "line " + std::to_string(i) + "\n";
                {
                    std::lock_guard g(appending);
                    EXPECT_TRUE(file.append(line.data(), line.size(), &ticket));
                    run.endOffsets[static_cast<std::size_t>(i)] = file.position();
                }
                ++appended;
                run.others[static_cast<std::size_t>(i)] = file.commit(ticket);
                run.syncedWhenReturned[static_cast<std::size_t>(i)] = held.synced();
            });
        EXPECT_TRUE(TestSupport::eventually([&] { return appended.load() == writers; },
                                            std::chrono::seconds(30)));
        held.release();
        first.join();
        for (auto& t : threads) t.join();
        run.commits = held.commits();
    }
    run.text = readFile(dir.file("TRVK.log"));
    return run;
}

}  // namespace

TEST(LoggerCommits, WritersShareACommitAndReturnOnlyOnceTheirLineIsCommitted) {
    constexpr int kWriters = 8;
    const CommitRun run = writeWhileTheFirstCommitIsHeld(false, kWriters);
    EXPECT_TRUE(run.first);
    // One commit under way, then one for all who wrote meanwhile.
    EXPECT_EQ(run.commits, 2);
    for (int i = 0; i < kWriters; ++i) {
        EXPECT_TRUE(run.others[i]) << i;
        EXPECT_LE(run.endOffsets[i], run.syncedWhenReturned[i]) << i;
        EXPECT_NE(run.text.find("line " + std::to_string(i) + "\n"), std::string::npos);
    }
    EXPECT_EQ(run.text.rfind("first\n", 0), 0u);
}

TEST(LoggerCommits, AFailedCommitIsReportedToEveryWriterItCovered) {
    constexpr int kWriters = 6;
    const CommitRun run = writeWhileTheFirstCommitIsHeld(true, kWriters);
    EXPECT_TRUE(run.first);
    EXPECT_EQ(run.commits, 2);
    for (int i = 0; i < kWriters; ++i) EXPECT_FALSE(run.others[i]) << i;
}

// A writer whose line a commit covered before it came to wait (another writer's, or the
// one that closing the file makes) returns at once with that commit's result.
TEST(LoggerCommits, ALineCommittedBeforeItsWriterWaitsReturnsAtOnce) {
    TestSupport::TempDir dir;
    std::atomic<int> commits{0};
    Platform::DurableFile file([&](int fd) {
        ++commits;
        return ::fdatasync(fd);
    });
    ASSERT_TRUE(file.open_append(dir.file("TRVK.log")));
    Platform::DurableFile::Ticket a, b, c;
    ASSERT_TRUE(file.append("a\n", 2, &a));
    ASSERT_TRUE(file.append("b\n", 2, &b));
    EXPECT_TRUE(file.commit(b));
    EXPECT_TRUE(file.commit(a));
    EXPECT_EQ(commits.load(), 1);

    ASSERT_TRUE(file.append("c\n", 2, &c));
    file.close();
    EXPECT_EQ(commits.load(), 2);
    EXPECT_TRUE(file.commit(c));
    EXPECT_FALSE(c.pending());
    EXPECT_EQ(readFile(dir.file("TRVK.log")), "a\nb\nc\n");
}

// While a commit runs, threads of the process that would stay awake for what they await
// sleep instead, leaving the cores to the disk's answer; a failed commit ends the wait
// for the disk as a good one does.
TEST(LoggerCommits, ThreadsStayNotAwakeWhileACommitRuns) {
    for (const bool failSecond : {false, true}) {
        TestSupport::TempDir dir;
        HeldCommits held(failSecond);
        const Platform::ThreadPool& pool = Platform::ThreadPool::instance();
        Platform::DurableFile file(held.sync());
        ASSERT_TRUE(file.open_append(dir.file("TRVK.log")));
        Platform::DurableFile::Ticket second;
        std::thread first([&] { EXPECT_TRUE(file.write_committed("first\n", 6)); });
        held.waitForCommits(1);
        EXPECT_TRUE(pool.disk_wait_under_way());
        int looks = 0;
        Platform::linger([&] {
            ++looks;
            return false;
        });
        EXPECT_EQ(looks, 1) << "a lingering thread stayed awake during a commit";
        ASSERT_TRUE(file.append("second\n", 7, &second));
        held.release();
        first.join();
        EXPECT_EQ(file.commit(second), !failSecond);
        EXPECT_FALSE(pool.disk_wait_under_way()) << failSecond;
    }
}

// A line that the disk stops half-way leaves no half line behind for the next one to
// continue.
TEST(LoggerCommits, ALineCutShortByTheDiskIsRemovedAgain) {
    TestSupport::TempDir dir;
    Platform::DurableFile file([](int) { return 0; });
    ASSERT_TRUE(file.open_append(dir.file("TRVK.log")));
    ASSERT_TRUE(file.write_committed("first\n", 6));
    bool written = true;
    {
        const TestSupport::DiskFull full(10);
        written = file.write_committed("second line\n", 12);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(file.position(), 6u);
    EXPECT_TRUE(file.write_committed("third\n", 6));
    file.close();
    EXPECT_EQ(readFile(dir.file("TRVK.log")), "first\nthird\n");
}

// Through the logger: many threads at once, every line whole and each thread's lines in
// the order it wrote them.
TEST_F(LoggerFile, ConcurrentLinesStayWholeAndInEachWritersOrder) {
    constexpr int kThreads = 6, kLines = 40;
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLines; ++n)
                if (LogMessage("INF", kFile, kFunc, 7, "writer %d line %d", t, n) <= 0) ++failed;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failed.load(), 0);
    std::vector<int> next(kThreads, 0);
    int lines = 0;
    for (const std::string& line : TestSupport::splitLines(body())) {
        int t = -1, n = -1;
        const auto at = line.find(" writer ");
        ASSERT_NE(at, std::string::npos) << line;
        ASSERT_EQ(std::sscanf(line.c_str() + at, " writer %d line %d", &t, &n), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(n, next[t]++) << line;
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

// A line is formatted in fixed buffers: counting this thread's heap allocations while
// it logs shows any that a call makes.
namespace {
thread_local bool t_counting = false;
thread_local int t_allocations = 0;
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (t_counting) ++t_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

TEST_F(LoggerFile, NeitherVariantAllocatesForItsMessage) {
    LogMessage("INF", kFile, kFunc, 1, "opens the file");
    const auto allocationsOf = [](const std::function<void()>& log) {
        t_allocations = 0;
        t_counting = true;
        log();
        t_counting = false;
        return t_allocations;
    };
    const std::wstring longWide(5000, L'\u20ac');
    EXPECT_EQ(allocationsOf([] { LogMessage("INF", kFile, kFunc, 2, "n %d %s", 7, "text"); }), 0);
    EXPECT_EQ(allocationsOf([] {
                  LogMessageWide("INF", kFile, kFunc, 3, L"w %s %S %d", L"caf\u00e9", "abc", 7);
              }),
              0);
    EXPECT_EQ(
        allocationsOf([&] { LogMessageWide("INF", kFile, kFunc, 4, L"%s", longWide.c_str()); }), 0);
    LogMessage("INF", kFile, kFunc, 5, "after");
    const std::string text = content();
    EXPECT_NE(text.find(" w caf\xC3\xA9 abc 7\n"), std::string::npos);
    // The long line is cut at a character boundary, without a newline, and the next
    // line follows it directly.
    const auto cut = text.find(
        "\xE2\x82\xAC"
        "UWP [");
    ASSERT_NE(cut, std::string::npos);
    const auto start = text.rfind(" tarvikappserviceconnection.cpp:4 ", cut);
    ASSERT_NE(start, std::string::npos);
    EXPECT_LE(cut + 3 - text.rfind("UWP [", start), 4095u);
}
