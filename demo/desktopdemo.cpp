#include "demo/desktopdemo.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <istream>

#include <TarvikFoundation/orvanecasocketserver.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/orvanewin32apimanager.h>
#include <TarvikFoundation/platform/applicationdata.h>

#include "platform/spawnsignals.h"

extern char** environ;

namespace TarvikDemo {

using namespace TarvikFoundation;
using Platform::hstring;

namespace {

void showFiles() {
    auto files = OrvaneFileManager::GetInstance();
    const std::string folder = Platform::ApplicationData::Current()->LocalCacheFolder() + "/demo";
    try {
        const hstring token =
            files->GetFileTokenAsync(hstring::from_utf8(folder + "/notes/today.txt"), 1, true)
                .get();
        std::printf("file token for %s/notes/today.txt: %s\n", folder.c_str(),
                    token.to_utf8().c_str());
        files->FolderOperation2Async(hstring::from_utf8(folder + "/pictures")).get();
        for (const auto& item :
             files->ListFilesFromPathAsync(hstring::from_utf8(folder), true).get())
            std::printf("  %-6s %s\n", item.Type == 0 ? "file" : "folder",
                        item.Path.to_utf8().c_str());
        files->ListFilesFromPathAsync(hstring::from_utf8(folder + "/missing"), false).get();
    } catch (const Platform::hresult_error& e) {
        std::printf("listing a missing folder fails with 0x%08X\n",
                    static_cast<unsigned>(e.code()));
    }
    auto system = OrvaneWin32ApiManager::GetInstance();
    system->SetEnvironmentVariableAsync(L"TARVIK_DEMO_RUNS", L"yes").get();
    std::printf("environment TARVIK_DEMO_RUNS=%s, key 'A' has scan code 0x%02X, layout 0x%08llX\n",
                system->GetEnvironmentVariableAsync(L"TARVIK_DEMO_RUNS").get().to_utf8().c_str(),
                system->MapVirtualKeyAsync('A', 0).get(),
                static_cast<unsigned long long>(system->GetKeyboardLayoutAsync(0).get()));
}

void showProcesses() {
    auto monitor = OrvaneProcessMonitor::GetInstance();
    const auto processes = monitor->GetProcessList().get();
    std::printf("%zu processes running, for example:", processes.size());
    for (std::size_t i = 0; i < processes.size() && i < 3; ++i)
        std::printf(" %u %s;", processes[i].ProcessId(),
                    processes[i].ProcessName().to_utf8().c_str());
    std::printf("\n");

    const char* argv[] = {"/bin/sleep", "0.3", nullptr};
    pid_t child = 0;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    Platform::defaultSignals(attributes, 0);
    const int started = ::posix_spawn(&child, "/bin/sleep", nullptr, &attributes,
                                      const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    if (started != 0) {
        std::printf("cannot start a child to watch\n");
        return;
    }
    auto exited = std::make_shared<std::promise<uint32_t>>();
    monitor->MonitorProcessExit(static_cast<uint32_t>(child),
                                [exited](uint32_t id) { exited->set_value(id); });
    auto notice = exited->get_future();
    if (notice.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        std::printf("child %u exited, the helper said so\n", notice.get());
    else
        std::printf("no exit notice for child %d\n", child);
    ::waitpid(child, nullptr, 0);
}

void serveOneSocketClient() {
    auto server = OrvaneCASocketServer::GetInstance();
    const auto token = server->RequestReceived([server](uint32_t socket, const hstring& text) {
        std::printf("socket %u asked \"%s\"\n", socket, text.to_utf8().c_str());
        server->SendResponse(socket, hstring(L"hello, ") + text);
    });
    const uint32_t port = server->Initialize().get();
    server->StartListening();
    try {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket client(io);
        client.connect({boost::asio::ip::address_v4::loopback(), static_cast<uint16_t>(port)});
        boost::asio::write(client, boost::asio::buffer(std::string("desktop client\n")));
        boost::asio::streambuf buffer;
        boost::asio::read_until(client, buffer, '\n');
        std::istream in(&buffer);
        std::string answer;
        std::getline(in, answer);
        std::printf("client on 127.0.0.1:%u got \"%s\"\n", port, answer.c_str());
    } catch (const boost::system::system_error& e) {
        std::printf("socket client on port %u failed: %s\n", port, e.what());
    }
    server->RequestReceived(token);
    server->Shutdown().get();
}

}  // namespace

void showDesktopServices() {
    showFiles();
    showProcesses();
    serveOneSocketClient();
}

}  // namespace TarvikDemo
