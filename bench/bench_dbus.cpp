// A peer to measure the library against: an sd-bus method call through a private bus
// daemon that this benchmark starts in a temporary folder, from this process to a server
// in a child process, with bodies of the byte sizes of the library's TestDelayApi(0)
// frames. Same shape as bench_roundtrip: the p50 of one blocking call, and throughput
// with 1 to 256 calls in flight.
#include <systemd/sd-bus.h>

#include <fstream>
#include <optional>
#include <thread>

#include "bench/benchsupport.h"
#include "bench/peerprocess.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kName = "org.tarvik.BenchPeer";
constexpr const char* kPath = "/org/tarvik/BenchPeer";
constexpr const char* kInterface = "org.tarvik.BenchPeer";
constexpr const char* kAnswerText = "Delayed 0 ms";
constexpr uint32_t kCommand = 38;

constexpr std::size_t alignUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

// Body "uttay": command, id, delay, then the padding bytes after their 32-bit length.
constexpr std::size_t requestPadding(std::size_t bodySize) {
    const std::size_t fixed = alignUp(4, 8) + 8 + 8 + 4;
    return bodySize > fixed ? bodySize - fixed : 0;
}

// Body "bsay": success, text (length, bytes, nul), then the padding bytes.
constexpr std::size_t answerPadding(std::size_t bodySize, std::size_t textLength) {
    const std::size_t fixed = alignUp(4 + 4 + textLength + 1, 4) + 4;
    return bodySize > fixed ? bodySize - fixed : 0;
}

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

Bus connect(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    Bus owned(bus);
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0)
        return nullptr;
    return owned;
}

int onDelay(sd_bus_message* call, void* userdata, sd_bus_error*) {
    const auto& padding = *static_cast<const std::string*>(userdata);
    uint32_t command = 0;
    uint64_t id = 0, delay = 0;
    const void* bytes = nullptr;
    std::size_t size = 0;
    int r = sd_bus_message_read(call, "utt", &command, &id, &delay);
    if (r >= 0) r = sd_bus_message_read_array(call, 'y', &bytes, &size);
    if (r < 0) return r;
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(call, &reply);
    if (r < 0) return r;
    Message owned(reply);
    r = sd_bus_message_append(reply, "bs", 1, kAnswerText);
    if (r >= 0) r = sd_bus_message_append_array(reply, 'y', padding.data(), padding.size());
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    return r;
}

int serve(const std::string& address) {
    Bus bus = connect(address);
    if (!bus) return 1;
    const std::string padding(
        answerPadding(Bench::frameSizes().second, std::char_traits<char>::length(kAnswerText)),
        'p');
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Delay", "uttay", "bsay", onDelay, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    if (sd_bus_add_object_vtable(bus.get(), nullptr, kPath, kInterface, vtable,
                                 const_cast<std::string*>(&padding)) < 0 ||
        sd_bus_request_name(bus.get(), kName, 0) < 0)
        return 1;
    // Until the daemon goes away at the end of the benchmark.
    for (;;) {
        int r = sd_bus_process(bus.get(), nullptr);
        if (r > 0) continue;
        if (r >= 0) r = sd_bus_wait(bus.get(), UINT64_MAX);
        if (r < 0) return 0;
    }
}

// A pipe whose write end becomes the daemon's standard output, for the address it prints.
struct Pipe {
    Pipe() {
        if (::pipe(fds) != 0) fds[0] = fds[1] = -1;
    }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    int fds[2];
};

std::string readLine(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

// A bus of our own: its configuration, socket and nothing else in a temporary folder.
std::string writeBusConfig(const boost::filesystem::path& folder) {
    const std::string config = (folder / "bus.conf").string();
    std::ofstream(config)
        << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)"
        << (folder / "bus").string() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <!-- 256 calls in flight; the built-in limit is lower -->
  <limit name="max_replies_per_connection">50000</limit>
</busconfig>
)";
    return config;
}

struct DbusSession {
    DbusSession()
        : daemon({TARVIK_DBUS_DAEMON_PATH, "--config-file=" + writeBusConfig(folder.path()),
                  "--nofork", "--nopidfile", "--print-address"},
                 addressPipe.fds[1]) {
        ::close(addressPipe.fds[1]);
        addressPipe.fds[1] = -1;
        address = readLine(addressPipe.fds[0]);
        if (address.empty()) return;
        server.emplace(std::vector<std::string>{Bench::selfPath(), "--serve", address});
        bus = connect(address);
        const auto [requestSize, answerSize] = Bench::frameSizes();
        padding.assign(requestPadding(requestSize), 'q');
        expectedAnswerPadding =
            answerPadding(answerSize, std::char_traits<char>::length(kAnswerText));
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (bus && !ready && Clock::now() < deadline) {
            sd_bus_message* reply = nullptr;
            int owned = 0;
            if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                                   kName) >= 0 &&
                sd_bus_message_read(reply, "b", &owned) >= 0 && owned)
                ready = true;
            sd_bus_message_unref(reply);
            if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~DbusSession() {
        bus.reset();
        server.reset();
    }

    Message newCall() const {
        sd_bus_message* call = nullptr;
        if (sd_bus_message_new_method_call(bus.get(), &call, kName, kPath, kInterface, "Delay") < 0)
            return nullptr;
        Message owned(call);
        if (sd_bus_message_append(call, "utt", kCommand, uint64_t{123456}, uint64_t{0}) < 0 ||
            sd_bus_message_append_array(call, 'y', padding.data(), padding.size()) < 0)
            return nullptr;
        return owned;
    }

    // True when the answer is a return with the library's answer size.
    bool readAnswer(sd_bus_message* reply) const {
        int success = 0;
        const char* text = nullptr;
        const void* bytes = nullptr;
        std::size_t size = 0;
        return !sd_bus_message_is_method_error(reply, nullptr) &&
               sd_bus_message_read(reply, "bs", &success, &text) >= 0 &&
               sd_bus_message_read_array(reply, 'y', &bytes, &size) >= 0 &&
               size == expectedAnswerPadding;
    }

    Bench::TempFolder folder;
    Pipe addressPipe;
    Bench::ChildProcess daemon;
    std::string address;
    std::optional<Bench::ChildProcess> server;
    Bus bus;
    bool ready = false;
    std::string padding;
    std::size_t expectedAnswerPadding = 0;
};

bool callOnce(const DbusSession& session) {
    Message call = session.newCall();
    sd_bus_message* reply = nullptr;
    if (!call || sd_bus_call(session.bus.get(), call.get(), 0, nullptr, &reply) < 0) return false;
    Message owned(reply);
    return session.readAnswer(reply);
}

void roundTrip(benchmark::State& state, DbusSession& session) {
    if (!session.ready) return state.SkipWithError("the bus daemon or the server did not start");
    if (!callOnce(session)) return state.SkipWithError("the call failed");
    Bench::recordP50(state, "dbus_roundtrip_p50",
                     [&] { benchmark::DoNotOptimize(callOnce(session)); });
}

// Keeps `depth` calls in flight until `count` have completed, on this thread's loop; each
// answer starts the next call from its callback.
bool keepInFlight(DbusSession& session, int depth, int64_t count) {
    struct Run {
        DbusSession& session;
        int64_t count;
        int64_t issued = 0, completed = 0;
        bool failed = false;
        static int onAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
            auto& run = *static_cast<Run*>(userdata);
            ++run.completed;
            if (!run.session.readAnswer(reply)) run.failed = true;
            run.issue();
            return 0;
        }
        void issue() {
            if (issued >= count || failed) return;
            ++issued;
            Message call = session.newCall();
            if (!call ||
                sd_bus_call_async(session.bus.get(), nullptr, call.get(), onAnswer, this, 0) < 0)
                failed = true;
        }
    } run{session, count};
    for (int i = 0; i < depth; ++i) run.issue();
    // After a failure the calls still out are waited for: their callbacks point here.
    while (run.completed < run.issued) {
        int r = sd_bus_process(session.bus.get(), nullptr);
        if (r > 0) continue;
        if (r >= 0) r = sd_bus_wait(session.bus.get(), UINT64_MAX);
        if (r < 0) {
            // A broken connection ends this run and every later one.
            session.ready = false;
            session.bus.reset();
            return false;
        }
    }
    return !run.failed;
}

void inFlight(benchmark::State& state, DbusSession& session) {
    if (!session.ready) return state.SkipWithError("the bus daemon or the server did not start");
    const int depth = static_cast<int>(state.range(0));
    int64_t total = 0;
    const auto started = Clock::now();
    for (auto _ : state) {
        const int batch = std::max(2000, depth * 20);
        if (!keepInFlight(session, depth, batch)) return state.SkipWithError("a call failed");
        total += batch;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Bench::record(state, "dbus_depth_" + std::to_string(depth), total / seconds, "req_per_s");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--serve") return serve(argv[2]);
    DbusSession session;
    // Medians of five rounds each: a shared machine's outliers would move a single one.
    benchmark::RegisterBenchmark("BM_DbusRoundTrip",
                                 [&](benchmark::State& s) { roundTrip(s, session); })
        ->UseRealTime()
        ->MinTime(1.0)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("BM_DbusInFlight",
                                 [&](benchmark::State& s) { inFlight(s, session); })
        ->Arg(1)
        ->Arg(16)
        ->Arg(64)
        ->Arg(256)
        ->UseRealTime()
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    return Bench::runAndReport(argc, argv, {});
}
