#include "common/logger.h"

#include <atomic>
#include <boost/filesystem.hpp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string_view>

#include <TarvikFoundation/platform/hstring.h>
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/diagnostics.h"
#include "platform/durablefile.h"
#include "platform/loopbacksocket.h"
#include "platform/platformlog.h"
#include "platform/privatefiles.h"
#include "platform/utf8locale.h"

namespace Tarvik {

namespace {

constexpr std::size_t kLineSize = 4096;
constexpr uint64_t kRotateAt = 0x400000;
constexpr int kDropped = -1;

// The logger object: the lock and the configured path and tag.
struct LogInfoRef {
    std::recursive_mutex lock;
    std::wstring path;
    std::string tag = "???";
    bool exitHookRegistered = false;
};

std::atomic<int> g_shuttingDown{0};

// Process-wide state beside the object. Never destroyed: a pool thread may be writing a
// line while the process runs its exit handlers, and every line is already committed.
struct LoggerState {
    LogInfoRef info;
    std::atomic<uint32_t> threshold{0};
    std::atomic<bool> network{false};
    std::atomic<bool> fileOpened{false};
    Platform::DurableFile file;
    Platform::LoopbackSocket socket;
    bool socketAttempted = false;
    std::string header;
};

LoggerState& state() {
    static Platform::Immortal<LoggerState> s;
    return *s;
}

void onProcessExit() {
    g_shuttingDown.fetch_add(1);
}

const char* fileTail(const char* path) noexcept {
    if (!path) return "";
    const char* tail = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') tail = p + 1;
    return tail;
}

// Rewrites the platform's length forms (%I64d, %I32u) into the standard ones, and in
// wide formats swaps the meaning of %s and %S to the platform's convention.
template <class Ch>
void translateFormat(const Ch* in, Ch* out, std::size_t cap, bool wide) noexcept {
    std::size_t o = 0;
    auto put = [&](Ch c) {
        if (o + 1 < cap) out[o++] = c;
    };
    for (std::size_t i = 0; in[i];) {
        if (in[i] != '%') {
            put(in[i++]);
            continue;
        }
        put(in[i++]);
        if (in[i] == '%') {
            put(in[i++]);
            continue;
        }
        while (in[i] && std::strchr("-+ #0", static_cast<char>(in[i]))) put(in[i++]);
        while ((in[i] >= '0' && in[i] <= '9') || in[i] == '*') put(in[i++]);
        if (in[i] == '.') {
            put(in[i++]);
            while ((in[i] >= '0' && in[i] <= '9') || in[i] == '*') put(in[i++]);
        }
        if (in[i] == 'I' && in[i + 1] == '6' && in[i + 2] == '4') {
            put('l');
            put('l');
            i += 3;
        } else if (in[i] == 'I' && in[i + 1] == '3' && in[i + 2] == '2') {
            i += 3;
        } else {
            while (in[i] && std::strchr("hlLqjzt", static_cast<char>(in[i]))) put(in[i++]);
        }
        if (!in[i]) break;
        if (wide && in[i] == 's' && (o == 0 || out[o - 1] != 'l') &&
            (o == 0 || out[o - 1] != 'h')) {
            put('l');
            put('s');
            ++i;
        } else if (wide && in[i] == 'S') {
            put('s');
            ++i;
        } else {
            put(in[i++]);
        }
    }
    out[o] = 0;
}

// Writes a line to the active sink under the lock. A file line given a ticket is
// committed once the caller waits on it.
bool writeLocked(LoggerState& s, const char* line,
                 Platform::DurableFile::Ticket* ticket = nullptr) noexcept;

// Runs before every write; writes the header when it (re)opens the file.
void openStep(LoggerState& s) noexcept {
    if (s.file.is_open() && s.file.position() >= kRotateAt) {
        s.file.close();
        boost::system::error_code ec;
        boost::filesystem::remove(boost::filesystem::path(s.info.path), ec);
        s.fileOpened.exchange(false);
    }
    if (s.fileOpened.load()) return;
    if (!s.file.is_open() && !s.info.path.empty()) {
        const boost::filesystem::path p(s.info.path);
        std::string ignored;  // the fallback below covers a folder that cannot be made
        if (p.has_parent_path())
            Platform::PrivateFiles::createFolders(p.parent_path().string(), ignored);
        if (!s.file.open_append(Platform::wide_to_utf8(s.info.path))) {
            boost::filesystem::path fallback = p.parent_path();
            fallback /= std::to_string(Platform::current_process_id()) + ".log";
            s.info.path = Platform::utf8_to_wide(fallback.string());
            s.file.open_append(fallback.string());
        }
    }
    s.fileOpened.exchange(true);
    if (!s.info.exitHookRegistered) {
        s.info.exitHookRegistered = true;
        std::atexit(onProcessExit);
    }
    if (s.header.empty()) {
        s.header = "\n\n-------- " + GetTimeStamp() + " start_" + s.info.tag + " " +
                   std::to_string(Platform::current_process_id()) + " 1.1.37 --------\n\n";
    }
    // Committed with the line that follows it.
    writeLocked(s, s.header.c_str());
}

bool writeLocked(LoggerState& s, const char* line, Platform::DurableFile::Ticket* ticket) noexcept {
    if (s.network.load()) {
        if (!s.socketAttempted) {
            s.socketAttempted = true;
            s.socket.connect("127.0.0.1", "4545");
        }
        if (s.socket.is_connected()) {
            const std::size_t len = strnlen(line, kLineSize);
            const ssize_t sent = s.socket.send(line, len);
            if (sent < 0 || static_cast<std::size_t>(sent) != len)
                std::fprintf(stderr, "[tvlog] send failed %d\n", static_cast<int>(sent));
            return sent >= 0;
        }
    }
    if (s.file.is_open()) return s.file.append(line, std::strlen(line), ticket);
    Platform::debug_output(line);
    return true;
}

// Lines are written in order under the lock; the commit is waited for outside it, so
// that writers arriving meanwhile share the next commit instead of queueing for one
// each.
bool writeLine(const char* line) noexcept {
    if (g_shuttingDown.load()) return false;
    LoggerState& s = state();
    Platform::DurableFile::Ticket ticket;
    {
        std::lock_guard g(s.info.lock);
        openStep(s);
        if (!writeLocked(s, line, &ticket)) return false;
    }
    if (!ticket.pending()) return true;  // the line went to the socket or the debugger
    // Other work of a pool thread may run on another while this one waits for the disk.
    Platform::ThreadPool::Blocking blocking{Platform::ThreadPool::Blocking::Brief{}};
    return s.file.commit(ticket);
}

// Formats the prefix into buf; returns its length, or -1.
int formatPrefix(char* buf, const char* level, const char* file, const char* function,
                 unsigned line) noexcept {
    LoggerState& s = state();
    char stamp[64];
    Platform::local_timestamp(stamp, sizeof stamp);
    char func[512];
    QualifiedFunctionName(function ? function : "", func, sizeof func);
    std::lock_guard g(s.info.lock);
    return std::snprintf(buf, kLineSize, "%s [%x] %s %s %s:%d %s ", s.info.tag.c_str(),
                         Platform::current_thread_id(), stamp, level ? level : "", fileTail(file),
                         static_cast<int>(line), func);
}

// Appends "\n" when it fits before the terminating zero.
void appendNewline(char* buf) noexcept {
    const std::size_t len = strnlen(buf, kLineSize);
    if (len + 1 < kLineSize) {
        buf[len] = '\n';
        buf[len + 1] = '\0';
    }
}

// The length of the well-formed UTF-8 sequence at c, or 0 where none starts there.
std::size_t utf8Length(const unsigned char* c) noexcept {
    const auto follows = [](unsigned char b, unsigned char lo = 0x80, unsigned char hi = 0xbf) {
        return b >= lo && b <= hi;
    };
    if (*c >= 0xc2 && *c <= 0xdf) return follows(c[1]) ? 2 : 0;
    if (*c >= 0xe0 && *c <= 0xef) {
        // No overlong forms, no surrogates.
        const unsigned char lo = *c == 0xe0 ? 0xa0 : 0x80;
        const unsigned char hi = *c == 0xed ? 0x9f : 0xbf;
        return follows(c[1], lo, hi) && follows(c[2]) ? 3 : 0;
    }
    if (*c >= 0xf0 && *c <= 0xf4) {
        const unsigned char lo = *c == 0xf0 ? 0x90 : 0x80;
        const unsigned char hi = *c == 0xf4 ? 0x8f : 0xbf;
        return follows(c[1], lo, hi) && follows(c[2]) && follows(c[3]) ? 4 : 0;
    }
    return 0;
}

// A logged value may come from another process (a service name, a variable's name):
// control characters in it become blanks, so that it can never start a line of its own
// nor steer the terminal that shows the log. Besides the ASCII ones that means DEL, the
// C1 controls (U+0080 to U+009F, which terminals read as escapes) and the line and
// paragraph separators U+2028 and U+2029, each of whose UTF-8 bytes becomes a blank.
// A byte that is not UTF-8 (a cut sequence, raw binary) becomes '?': text tools would
// take the whole log for binary data.
void flattenControls(char* message) noexcept {
    for (unsigned char* c = reinterpret_cast<unsigned char*>(message); *c; ++c) {
        if (*c < 0x80) {
            if ((*c < 0x20 && *c != '\t') || *c == 0x7f) *c = ' ';
            continue;
        }
        const std::size_t length = utf8Length(c);
        if (length == 0) {
            *c = '?';
        } else if ((*c == 0xc2 && c[1] <= 0x9f) ||
                   (*c == 0xe2 && c[1] == 0x80 && (c[2] == 0xa8 || c[2] == 0xa9))) {
            std::memset(c, ' ', length);
            c += length - 1;
        } else {
            c += length - 1;
        }
    }
}

bool dropped(const char* level) noexcept {
    return g_shuttingDown.load(std::memory_order_relaxed) != 0 ||
           detail::levelRank(level) < state().threshold.load(std::memory_order_relaxed);
}

int LogMessageV(const char* level, const char* file, const char* function, unsigned line,
                const char* format, va_list args) noexcept {
    if (dropped(level)) return kDropped;
    char buf[kLineSize] = {};
    const int prefix = formatPrefix(buf, level, file, function, line);
    bool ok = prefix > 0;
    if (ok && static_cast<std::size_t>(prefix) < kLineSize - 1) {
        char fmt[1024];
        translateFormat(format ? format : "", fmt, sizeof fmt, false);
        Platform::Utf8LocaleScope utf8;
        const std::size_t room = kLineSize - static_cast<std::size_t>(prefix);
        const int n = std::vsnprintf(buf + prefix, room, fmt, args);
        ok = n >= 0 && static_cast<std::size_t>(n) < room;
        flattenControls(buf + prefix);
    } else {
        ok = false;
    }
    if (ok) appendNewline(buf);
    buf[kLineSize - 1] = '\0';
    return writeLine(buf) ? static_cast<int>(std::strlen(buf)) : 0;
}

void writePlatformLine(const char* level, const char* file, const char* function, unsigned line,
                       const char* format, va_list args) noexcept {
    LogMessageV(level, file, function, line, format, args);
}

// The platform's own lines are written like the library's from the start of the process.
[[maybe_unused]] const bool g_platformSinkInstalled =
    (Platform::SetLogSink({&Tarvik::LogWrites, &writePlatformLine}), true);

}  // namespace

int LogMessage(const char* level, const char* file, const char* function, unsigned line,
               const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int written = LogMessageV(level, file, function, line, format, args);
    va_end(args);
    return written;
}

int LogMessageWide(const char* level, const char* file, const char* function, unsigned line,
                   const wchar_t* format, ...) noexcept {
    if (dropped(level)) return kDropped;
    char buf[kLineSize] = {};
    const int prefix = formatPrefix(buf, level, file, function, line);
    bool ok = prefix > 0 && static_cast<std::size_t>(prefix) < kLineSize - 1;
    if (ok) {
        wchar_t fmt[1024];
        translateFormat(format ? format : L"", fmt, 1024, true);
        wchar_t wide[kLineSize] = {};
        Platform::Utf8LocaleScope utf8;
        va_list args;
        va_start(args, format);
        const int n = std::vswprintf(wide, kLineSize, fmt, args);
        va_end(args);
        ok = n >= 0;
        wide[kLineSize - 1] = L'\0';
        // Convert into the rest of the buffer, character by character so that none is
        // split and nothing is allocated.
        const std::size_t room = kLineSize - 1 - static_cast<std::size_t>(prefix);
        char* out = buf + prefix;
        std::size_t used = 0;
        for (const wchar_t* c = wide; *c; ++c) {
            const std::wstring_view one(c, 1);
            const std::size_t size = Platform::utf8_size(one);
            if (used + size > room) {
                ok = false;
                break;
            }
            Platform::write_utf8(one, out + used);
            used += size;
        }
        out[used] = '\0';
        flattenControls(out);
    }
    if (ok) appendNewline(buf);
    buf[kLineSize - 1] = '\0';
    return writeLine(buf) ? static_cast<int>(std::strlen(buf)) : 0;
}

void ConfigureLogger(uint32_t logLevel, const std::string& roleTag) noexcept {
    if (g_shuttingDown.load()) return;
    LoggerState& s = state();
    std::lock_guard g(s.info.lock);
    s.threshold.store(logLevel < 4 ? logLevel : 4);
    try {
        s.info.tag = roleTag;
    } catch (...) {
    }
}

void SetNetworkLogging(bool enabled) noexcept {
    if (g_shuttingDown.load()) return;
    LoggerState& s = state();
    std::lock_guard g(s.info.lock);
    s.network.exchange(enabled);
}

void SetLogFilePath(const std::wstring& path) noexcept {
    if (g_shuttingDown.load()) return;
    LoggerState& s = state();
    std::lock_guard g(s.info.lock);
    try {
        s.info.path = path;
    } catch (...) {
    }
    s.fileOpened.exchange(false);
}

void CloseLogFile() noexcept {
    LoggerState& s = state();
    std::lock_guard g(s.info.lock);
    s.file.close();
    s.fileOpened.exchange(false);
}

std::wstring GetLogFilePath() {
    LoggerState& s = state();
    std::lock_guard g(s.info.lock);
    return s.info.path;
}

const std::atomic<uint32_t>& detail::threshold() noexcept {
    return state().threshold;
}

bool LogWrites(const char* level) noexcept {
    return !dropped(level);
}

uint32_t GetLogThreshold() noexcept {
    return state().threshold.load();
}

std::string GetTimeStamp() {
    char stamp[64];
    Platform::local_timestamp(stamp, sizeof stamp);
    return stamp;
}

void QualifiedFunctionName(const char* sig, char* out, std::size_t cap) noexcept {
    if (cap == 0) return;
    out[0] = '\0';
    if (!sig) return;
    std::size_t len = std::strlen(sig);
    if (const char* with = std::strstr(sig, " [with ")) len = static_cast<std::size_t>(with - sig);

    auto isOperatorAt = [&](std::size_t i) {
        return i + 8 <= len && std::strncmp(sig + i, "operator", 8) == 0 &&
               (i == 0 || sig[i - 1] == ':' || sig[i - 1] == ' ');
    };
    // Find the parameter list: the first '(' outside template brackets.
    std::size_t nameStart = 0, nameEnd = len;
    int angle = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (isOperatorAt(i)) {
            i += 8;
            while (i < len && sig[i] == ' ') ++i;
            if (i + 1 < len && sig[i] == '(' && sig[i + 1] == ')') {
                i += 1;
            } else {
                while (i < len && sig[i] != '(') ++i;
                --i;
            }
            continue;
        }
        const char c = sig[i];
        if (c == '<')
            ++angle;
        else if (c == '>' && angle > 0)
            --angle;
        else if (angle == 0 && c == ' ')
            nameStart = i + 1;
        else if (angle == 0 && c == '(') {
            nameEnd = i;
            break;
        }
    }
    std::size_t o = 0;
    auto put = [&](const char* s, std::size_t n) {
        for (std::size_t k = 0; k < n && o + 1 < cap; ++k) out[o++] = s[k];
    };
    while (nameStart < nameEnd && (sig[nameStart] == '*' || sig[nameStart] == '&')) ++nameStart;
    put(sig + nameStart, nameEnd - nameStart);
    // Lambdas appear after the enclosing function's parameter list.
    int lambdas = 0;
    for (const char* p = sig + nameEnd; (p = std::strstr(p, "::<lambda")) && p < sig + len; ++p)
        ++lambdas;
    for (int k = 0; k < lambdas; ++k) put("::<lambda>", 10);
    if (lambdas > 0) put("::operator ()", 13);
    out[o] = '\0';
}

}  // namespace Tarvik
