// A host application for the confinement tests, run by tarvik-run. It reports what it
// sees from inside on standard output, one finding per line:
//   home FILE FOLDER  reads FILE directly, then lists FOLDER through the helper
//   hold FLAG         connects, waits until FLAG exists, asks the helper once, ends
//   launch URI        asks the platform to launch URI and prints the outcome
//   inprocess         hosts its own app service; the helper connects into the sandbox
//   batch N FOLDER    connects, waits for FOLDER/go, sends N requests at once and prints
//                     how they ended; launches the helper again when FOLDER/again appears
//   files IN OUT FLAG redeems file tokens for IN and OUT (see redeem), waits for FLAG
//   child LOG ID      starts a child and watches it through the helper (see watchChild),
//                     then watches ID, which names no process of the sandbox
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/backgroundtask.h>
#include <TarvikFoundation/platform/filetokenredeemer.h>

#include "platform/launchers.h"
#include "platform/launcherwire.h"
#include "platform/package.h"

using namespace TarvikFoundation;

namespace {

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void waitFor(const std::string& path) {
    for (int i = 0; i < 600 && !exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Requests in flight while the test kills a process, held 0 to 11.5 s (scaled time) by
// the helper; each asks for its own value back.
void batch(const std::shared_ptr<OrvaneAppHelper>& helper, int count, const std::string& folder) {
    waitFor(folder + "/go");
    auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
    std::vector<Platform::IAsyncOperation<Platform::hstring>> calls;
    for (int i = 0; i < count; ++i)
        calls.push_back(
            test->TestDelayApiExt(500 * static_cast<uint64_t>(i), static_cast<uint64_t>(1000 + i)));
    say("sent");
    std::atomic<bool> done{false};
    std::thread relauncher([&] {
        while (!done && !exists(folder + "/again"))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done)
            say(std::string("relaunched: ") +
                (Platform::Launcher::LaunchUriAsync(
                     Platform::hstring(L"tarvik-test: " + helper->getHelperArgs()))
                         .get()
                     ? "true"
                     : "false"));
    });
    int completed = 0, failed = 0, wrong = 0;
    for (int i = 0; i < count; ++i) {
        try {
            const auto answer = calls[static_cast<std::size_t>(i)].get().to_utf8();
            (answer.ends_with(" value " + std::to_string(1000 + i)) ? completed : wrong)++;
        } catch (const Platform::hresult_error&) {
            ++failed;
        }
    }
    done = true;
    relauncher.join();
    say("result " + std::to_string(completed) + " " + std::to_string(failed) + " " +
        std::to_string(wrong));
}

std::string hex(int32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

// The code a redemption fails with, or "redeemed" when it does not fail.
std::string refusal(const Platform::hstring& token, Platform::FileAccessMode access) {
    try {
        Platform::FileTokenRedeemer::RedeemAsync(token, access).get();
        return "redeemed";
    } catch (const Platform::hresult_error& e) {
        return hex(e.code());
    }
}

// Reads `in` and writes `out` of the user's home through redeemed tokens, then tries a
// read token for writing and a token never issued.
void redeem(const std::string& in, const std::string& out) {
    using Platform::FileAccessMode;
    auto files = OrvaneFileManager::GetInstance();
    const auto reading = files->GetFileTokenAsync(Platform::hstring::from_utf8(in), 0).get();
    {
        auto file = Platform::FileTokenRedeemer::RedeemAsync(reading, FileAccessMode::Read).get();
        std::string text(static_cast<std::size_t>(file->Size()), '\0');
        text.resize(file->Read(std::as_writable_bytes(std::span(text.data(), text.size()))));
        say("read: " + text);
    }
    const auto writing = files->GetFileTokenAsync(Platform::hstring::from_utf8(out), 1, true).get();
    {
        auto file =
            Platform::FileTokenRedeemer::RedeemAsync(writing, FileAccessMode::ReadWrite).get();
        const std::string text = "written from the sandbox";
        file->Write(std::as_bytes(std::span(text)));
        say("wrote");
    }
    say("wrong mode: " + refusal(reading, FileAccessMode::ReadWrite));
    say("unknown token: " + refusal(L"0123456789abcdef0123456789abcdef", FileAccessMode::Read));
}

// Starts a child that lives until told to end, asks the helper for its exit notice and,
// once the helper's log shows the watch, ends it. A notice before the child's end, or
// none after it, is a fault.
void watchChild(const std::string& helperLog) {
    int wire[2];
    if (::pipe(wire) != 0) return say("no pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(wire[1]);
        char byte;
        while (::read(wire[0], &byte, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(wire[0]);
    say("child " + std::to_string(child));
    std::mutex m;
    std::condition_variable changed;
    std::vector<uint32_t> notices;
    OrvaneProcessMonitor::GetInstance()->MonitorProcessExit(static_cast<uint32_t>(child),
                                                            [&](uint32_t id) {
                                                                std::lock_guard g(m);
                                                                notices.push_back(id);
                                                                changed.notify_all();
                                                            });
    const std::string watched = "watching the application's process " + std::to_string(child);
    for (int i = 0; i < 600; ++i) {
        std::ifstream log(helperLog);
        const std::string text((std::istreambuf_iterator<char>(log)), {});
        if (text.find(watched) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    {
        std::lock_guard g(m);
        if (!notices.empty()) say("exit notice before the child ended");
    }
    ::close(wire[1]);
    ::waitpid(child, nullptr, 0);
    std::unique_lock lock(m);
    if (changed.wait_for(lock, std::chrono::seconds(30), [&] { return !notices.empty(); }))
        say("exit notice for " + std::to_string(notices.front()));
    else
        say("no exit notice");
}

// Asks for the exit notice of an id that no process of the sandbox has.
void watchMissing(uint32_t id) {
    auto ended = std::make_shared<std::promise<void>>();
    OrvaneProcessMonitor::GetInstance()->MonitorProcessExit(
        id, [ended](uint32_t) { ended->set_value(); });
    say(ended->get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready
            ? "exit notice for missing " + std::to_string(id)
            : "no exit notice for missing " + std::to_string(id));
}

std::shared_ptr<OrvaneAppHelper> connect() {
    auto options = std::make_shared<TRVKConfigOptions>();
    options->LogLevel(1);  // the helper logs each execution
    options->Win32Uri(L"tarvik-test");
    options->AppServiceName(L"svc");
    options->ClientId(L"confined-client");
    options->LaunchMethod(1);
    options->ReconnectInterval(1);
    auto helper = OrvaneAppHelper::create(options);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!helper->managersReady() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    say(helper->managersReady() ? "connected" : "not connected");
    return helper;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    Platform::Application::Create();
    try {
        if (mode == "rawlauncher") {
            // Bytes of our choosing to the launcher, as a process in the sandbox could
            // send them; "big" stands for a packet above the limit.
            const std::string body = std::string(argv[2]) == "big"
                                         ? std::string(Platform::LauncherWire::kMaxPacket + 16, 'x')
                                         : std::string(argv[2]);
            const char* path = std::getenv("TARVIK_LAUNCHER_SOCKET");
            const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path ? path : "");
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                ::send(fd, body.data(), body.size(), MSG_NOSIGNAL) < 0) {
                say("rawlauncher: cannot send");
                return 1;
            }
            std::string error;
            const auto answer = Platform::LauncherWire::receive(fd, 10000, error);
            ::close(fd);
            say("answer: " + (answer ? answer->body.dump() : "none (" + error + ")"));
            return 0;
        }
        if (mode == "launch") {
            say(std::string("launch: ") +
                (Platform::Launcher::LaunchUriAsync(Platform::hstring::from_utf8(argv[2])).get()
                     ? "true"
                     : "false"));
            return 0;
        }
        if (mode == "inprocess") {
            std::shared_ptr<OrvaneAppHelper> helper;
            std::mutex m;
            auto host = Platform::AppServiceTaskHost::start(
                Platform::Package::Current()->FamilyName(), L"svc",
                [&](const Platform::BackgroundActivatedEventArgs& a) {
                    std::lock_guard g(m);
                    if (helper) helper->OnBackgroundActivated(a);
                });
            auto options = std::make_shared<TRVKConfigOptions>();
            options->Win32Uri(L"tarvik-test");
            options->AppServiceName(L"svc");
            options->ClientId(L"confined-client");
            options->AppServiceInBackground(false);
            options->ReconnectInterval(1);
            {
                std::lock_guard g(m);
                helper = OrvaneAppHelper::create(options);
            }
            auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
            for (int i = 0; i < 1500 && !test->connection()->hasConnection(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            say("answer: " + test->TestDelayApiExt(0, 5).get().to_utf8());
            std::fflush(nullptr);
            std::_Exit(0);
        }
        auto helper = connect();
        if (!helper->managersReady()) return 1;
        if (mode == "home" && argc >= 4) {
            say(std::string("open home file: ") +
                (std::ifstream(argv[2]) ? "succeeded" : "failed"));
            std::string names;
            for (const auto& item :
                 OrvaneFileManager::GetInstance()
                     ->ListFilesFromPathAsync(Platform::hstring::from_utf8(argv[3]), false)
                     .get())
                names += " " + item.Path.to_utf8();
            say("listing:" + names);
        } else if (mode == "files" && argc >= 5) {
            redeem(argv[2], argv[3]);
            say("done");
            waitFor(argv[4]);
        } else if (mode == "child" && argc >= 4) {
            watchChild(argv[2]);
            watchMissing(static_cast<uint32_t>(std::atol(argv[3])));
        } else if (mode == "batch" && argc >= 4) {
            batch(helper, std::atoi(argv[2]), argv[3]);
        } else if (mode == "hold") {
            struct stat st {};
            for (int i = 0; i < 600 && ::stat(argv[2], &st) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            say("answer: " + OrvaneInternal::OrvaneTestManager::GetInstance()
                                 ->TestDelayApiExt(0, 7)
                                 .get()
                                 .to_utf8());
        }
    } catch (const Platform::hresult_error& e) {
        say("error: " + e.message().to_utf8());
        return 1;
    }
    std::fflush(nullptr);
    std::_Exit(0);
}
