#pragma once
// What the fault suite needs around a real helper process: the helper started on this
// process's app service with its own log, the connections that reach the service, the
// requests that are sent and how they ended, the helper's executions read from its
// log, and a census of descriptors and heap for leaks.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "common/base64.h"
#include "common/commandcodes.h"
#include "common/messageschema.h"
#include "helperapp.h"
#include "platform/appservicelistener.h"
#include "testsupport.h"

namespace TestSupport {

// One row of the table the suite prints.
struct FaultRow {
    explicit FaultRow(std::string name) : fault(std::move(name)) {}
    std::string fault;
    int sent = 0, completed = 0, failed = 0, wrong = 0, duplicates = 0, leaks = 0;
    // How far this process (the application, and the service's host) rose over the row.
    long peakKiB = 0;
    int peakThreads = 0;
    std::string note;
};

inline std::vector<FaultRow>& faultTable() {
    static std::vector<FaultRow> rows;
    return rows;
}

// Every connection that reaches the service, in order of arrival.
class ServiceConnections {
  public:
    explicit ServiceConnections(const std::string& family) {
        listener_ = Platform::AppServiceListener::start(
            Platform::hstring::from_utf8(family), L"svc",
            [this](const Platform::AppServiceTriggerDetails& d) {
                std::lock_guard g(m_);
                arrived_.push_back(d.Connection());
                cv_.notify_all();
            });
    }
    ~ServiceConnections() { listener_->stop(); }
    Platform::AppServiceConnection next(
        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lk(m_);
        if (!cv_.wait_for(lk, limit, [&] { return !arrived_.empty(); })) return nullptr;
        auto c = arrived_.front();
        arrived_.pop_front();
        return c;
    }
    const std::string& path() const { return listener_->path(); }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Platform::AppServiceConnection> arrived_;
    std::shared_ptr<Platform::AppServiceListener> listener_;
};

// A tarvik-helper for the package, logging every line so that its executions can be
// counted afterwards; killed when it goes out of scope.
class HelperProcess {
  public:
    HelperProcess(const std::string& family, std::string log)
        : log_(std::move(log)),
          pid_(spawn({"--package", Tarvik::Base64::encode(family), "--service",
                      Tarvik::Base64::encode("svc"), "--ReconnectInterval", "1", "--logLevel", "1",
                      "--log", log_})) {}
    ~HelperProcess() { kill(); }
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    void kill() {
        if (pid_ <= 0) return;
        stop(pid_);
        pid_ = 0;
    }
    bool started() const { return pid_ > 0; }
    // How often each request id was executed, from the "Executed <id>" lines of a
    // helper's log.
    class Log {
      public:
        explicit Log(std::string path) : path_(std::move(path)) {}
        std::map<uint64_t, int> counts() const {
            std::map<uint64_t, int> counts;
            const std::string text = readFile(path_);
            static const std::string marker = " Executed ";
            for (auto at = text.find(marker); at != std::string::npos;
                 at = text.find(marker, at + 1)) {
                const char* digits = text.c_str() + at + marker.size();
                if (*digits == '-') continue;  // a request without an id
                ++counts[std::strtoull(digits, nullptr, 10)];
            }
            return counts;
        }

      private:
        std::string path_;
    };
    std::map<uint64_t, int> executions() const { return Log(log_).counts(); }

  private:
    std::string log_;
    pid_t pid_ = 0;
};

inline int duplicatesIn(const std::map<uint64_t, int>& executions) {
    int duplicates = 0;
    for (const auto& [id, times] : executions) duplicates += times - 1;
    return duplicates;
}

// Requests of command 38 with a value each; the answer names the value, so an answer
// given to the wrong request is seen.
class RequestBatch {
  public:
    RequestBatch(const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& channel, int count,
                 std::function<uint64_t(int)> delayMs,
                 std::function<void(Platform::ValueSet&)> extra = {}) {
        for (int i = 0; i < count; ++i) {
            Platform::ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
            request.Insert(L"TestDelay", delayMs(i));
            request.Insert(L"value", static_cast<uint64_t>(i));
            if (extra) extra(request);
            expected_.push_back(L"Delayed " + std::to_wstring(delayMs(i)) + L" ms value " +
                                std::to_wstring(i));
            pending_.push_back(channel->sendCommandAsync(request));
        }
    }
    int done() const {
        int n = 0;
        for (const auto& t : pending_) n += t.is_done() ? 1 : 0;
        return n;
    }
    // Waits for every request (bounded) and sorts out how each ended.
    void finish(FaultRow& row, std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        row.sent += static_cast<int>(pending_.size());
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            while (!pending_[i].is_done() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!pending_[i].is_done()) {
                ADD_FAILURE() << "request " << i << " never ended";
                continue;
            }
            try {
                const auto response = pending_[i].get();
                const auto message = response ? response.Message() : Platform::ValueSet(nullptr);
                const auto text =
                    message ? message.TryLookupAs<Platform::hstring>(L"TestReponse") : std::nullopt;
                if (!text)
                    ++row.failed;
                else if (text->wstr() == expected_[i])
                    ++row.completed;
                else
                    ++row.wrong;
            } catch (const Platform::hresult_error&) {
                ++row.failed;
            }
        }
    }

  private:
    std::vector<Platform::task<Platform::AppServiceResponse>> pending_;
    std::vector<std::wstring> expected_;
};

// What each open descriptor points at, by number. One that closes while it is listed
// (another thread's passing read of /proc) is left out: it is gone, not leaked.
inline std::map<int, std::string> openDescriptorTargets() {
    std::map<int, std::string> targets;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(d);
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            const int fd = std::atoi(e->d_name);
            if (fd == own) continue;
            char target[256] = {};
            const auto path = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
            if (n > 0) targets[fd] = std::string(target, static_cast<std::size_t>(n));
        }
        ::closedir(d);
    }
    return targets;
}

inline int openDescriptors() {
    return static_cast<int>(openDescriptorTargets().size());
}

// Descriptors and heap in use; a scenario that ends above where it began leaked.
struct Census {
    std::map<int, std::string> descriptors = openDescriptorTargets();
    std::size_t heap = ::mallinfo2().uordblks;

    // Descriptors close asynchronously (I/O threads), so they get a moment to settle;
    // the heap is allowed the slack of caches that fill once (logger, pools). What
    // grew is printed, so a failure says where to look.
    int leaksSince(const Census& before) const {
        const auto settled = [&] { return openDescriptors() <= count(before); };
        eventually(settled, std::chrono::seconds(5));
        int leaks = 0;
        const auto now = openDescriptorTargets();
        const int extra = static_cast<int>(now.size()) - count(before);
        if (extra > 0) {
            leaks += extra;
            std::string added;
            for (const auto& [fd, target] : now) {
                const auto was = before.descriptors.find(fd);
                if (was == before.descriptors.end() || was->second != target)
                    added += " " + std::to_string(fd) + "->" + target;
            }
            ADD_FAILURE() << extra << " descriptor(s) more than before:" << added;
        }
        const std::size_t heapNow = ::mallinfo2().uordblks;
        if (heapNow > before.heap + kHeapSlack) {
            ++leaks;
            ADD_FAILURE() << "heap grew by " << (heapNow - before.heap) / 1024 << " KiB";
        }
        return leaks;
    }
    static constexpr std::size_t kHeapSlack = 4u << 20;

  private:
    static int count(const Census& c) { return static_cast<int>(c.descriptors.size()); }
};

}  // namespace TestSupport
