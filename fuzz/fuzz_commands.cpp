// The command handlers of the side that receives requests: the helper's services and
// the application's handlers of what the helper sends. The first byte picks the
// command, the rest is the message body as the wire carries it. A handler may refuse
// (the dispatcher answers a failure for anything it raises) but must not crash, and
// what it answers must go back over the wire.
//
// Commands that start programs, end the process, sleep for as long as they are told,
// or listen on the network are left out; everything else runs against a private set
// of user folders made for the run.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <TarvikFoundation/orvanecasocketserver.h>
#include <TarvikFoundation/orvanemessagehandler.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/platform/immortal.h>

#include "common/commandcodes.h"
#include "common/logger.h"
#include "helper/servicecommands.h"
#include "platform/wirecodec.h"

namespace {

namespace Commands = Tarvik::Commands;
using Tarvik::TarvikAppServiceConnection;

struct Target {
    std::shared_ptr<TarvikAppServiceConnection> channel;
    int32_t code;
};

std::string makeUserFolders() {
    char name[] = "/tmp/tarvik-fuzz-XXXXXX";
    if (!::mkdtemp(name)) std::abort();
    const std::string root = name;
    for (const char* sub : {"/home", "/data", "/run", "/config", "/config/tarvik", "/home/files"})
        if (::mkdir((root + sub).c_str(), 0700) != 0) std::abort();
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    std::ofstream(root + "/config/tarvik/helper.json")
        << R"({"fileRoots": [")" << root << R"(/home/files"]})";
    return root;
}

struct World {
    World();
    std::string folders = makeUserFolders();
    std::shared_ptr<TarvikAppServiceConnection> helperChannel =
        TarvikAppServiceConnection::create("FuzzHelper");
    TarvikHelper::HelperCommands commands{helperChannel};
    TarvikHelper::HelperServices services{"Fuzz.Commands_1"};
    std::vector<Target> targets;
};

World& world();

World::World() {
    Tarvik::ConfigureLogger(3, "Fuzz");
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(world().folders, ignored);
    });
    using namespace TarvikHelper;
    registerMessageCommands(commands, services);
    registerAccountCommands(commands, services);
    registerAnalyticsCommands(commands, services);
    registerFileCommands(commands, services);
    registerSystemCommands(commands, services);
    registerProcessCommands(commands, services);
    registerPermissionCommands(commands, services);
    for (int32_t code : {Commands::kGetFileToken,
                         Commands::kFolderOperation1,
                         Commands::kFolderOperation2,
                         Commands::kFolderOperation3,
                         Commands::kListFilesFromPath,
                         Commands::kAnalyticsInitializeCache,
                         Commands::kAnalyticsInitialize,
                         Commands::kAnalyticsStartSession,
                         Commands::kAnalyticsSetSerializationState,
                         Commands::kAnalyticsCloseSession,
                         Commands::kAnalyticsNewDataGroup,
                         Commands::kAnalyticsAddToGroup,
                         Commands::kAnalyticsLogEvent,
                         Commands::kAnalyticsLogIdleTime,
                         Commands::kFetchDefaultUserInfo,
                         Commands::kPassiveSignout,
                         Commands::kFetchAccessToken,
                         Commands::kMessageRegister,
                         Commands::kMessageSend,
                         Commands::kKeyCodeMapping,
                         Commands::kGetEnvironmentVariable,
                         Commands::kSetEnvironmentVariable,
                         Commands::kGetKeyboardLayout,
                         Commands::kIsAppInstalled,
                         Commands::kIsAppAvailable,
                         Commands::kGetSpecifiers,
                         Commands::kQueryFolderPermission,
                         Commands::kSetFolderPermission,
                         Commands::kGetProcessList})
        if (commands.handles(code)) targets.push_back({helperChannel, code});
    // The application's side: what the helper sends it.
    targets.push_back(
        {TarvikFoundation::OrvaneInternal::OrvaneMessageHandler::GetInstance()->connection(),
         Commands::kMessageReceive});
    targets.push_back({TarvikFoundation::OrvaneProcessMonitor::GetInstance()->connection(),
                       Commands::kProcessExited});
    targets.push_back({TarvikFoundation::OrvaneCASocketServer::GetInstance()->connection(),
                       Commands::kSocketServerRequest});
}

World& world() {
    static Platform::Immortal<World> w;  // pool threads may still reach it at exit
    return *w;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)world();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    World& w = world();
    const Target& target = w.targets[data[0] % w.targets.size()];
    tarvik::wire::ValueSet wire;
    if (!wire.ParseFromArray(data + 1, static_cast<int>(size - 1))) return 0;
    Platform::ValueSet request = nullptr;
    try {
        request = Platform::Wire::fromProto(wire);
    } catch (const Platform::hresult_error&) {
        return 0;  // the transport refuses it before any handler
    }
    request.Insert(L"command", target.code);
    const auto handler = target.channel->handlerFor(target.code);
    if (!handler) std::abort();
    Platform::ValueSet response = nullptr;
    try {
        response = handler(request);
    } catch (...) {
        return 0;
    }
    if (response) {
        tarvik::wire::ValueSet out;
        Platform::Wire::toProto(response, out);
    }
    return 0;
}
