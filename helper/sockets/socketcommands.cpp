// Commands 29 to 34: the socket server, the client requests forwarded to the
// application as command 31, and the start of a client program.
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "helper/launch/clientlauncher.h"
#include "helper/requestentries.h"
#include "helper/requestids.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"
#include "helper/sockets/socketserverlimits.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

void registerSocketCommands(HelperCommands& commands, HelperServices& services) {
    auto channel = commands.channel();
    services.sockets = std::make_unique<SocketServer>(
        [channel](uint32_t socketNumber, const std::string& line, std::function<void()> answered) {
            ValueSet request = helperRequest(Commands::kSocketServerRequest);
            request.Insert(keyOf(CommandKeys::kRequestString), hstring::from_utf8(line));
            request.Insert(keyOf(CommandKeys::kSocketNumber), socketNumber);
            // The application's answer (or the send's failure) frees the client's place.
            channel->sendCommandAsync(request).then(
                [answered, socketNumber](Platform::task<Platform::AppServiceResponse> sent) {
                    try {
                        sent.get();
                    } catch (...) {
                        TLOG("WRN", "socket %u: its request did not reach the application",
                             socketNumber);
                    }
                    answered();
                });
        },
        socketServerLimits());
    SocketServer& server = *services.sockets;

    commands.add(Commands::kSocketServerInitialize, [&server](const ValueSet&) {
        const uint16_t port = server.open();
        if (port == 0) return refusedBecause("no port to listen on");
        return answerWith(CommandKeys::kSocketServerPort, static_cast<uint32_t>(port));
    });
    commands.add(Commands::kSocketServerStartListening,
                 [&server](const ValueSet&) { return createResponse(server.start()); });
    commands.add(Commands::kSocketServerSendResponse, [&server](const ValueSet& request) {
        const auto socketNumber = entryOf<uint32_t>(request, CommandKeys::kSocketNumber);
        const auto text = requiredText(request, CommandKeys::kResponseString);
        if (!socketNumber || !text)
            return refusedBecause("no UInt32 SocketNumber and String ResponseString");
        if (!server.send(*socketNumber, *text)) {
            TLOG("WRN", "no socket %u to answer", *socketNumber);
            return refusedBecause("unknown socket number");
        }
        return createResponse(true);
    });
    commands.add(Commands::kSocketServerShutdown, [&server](const ValueSet&) {
        server.shutdown();
        return createResponse(true);
    });
    commands.add(Commands::kSocketServerLaunchClient, [](const ValueSet& request) {
        const auto name = requiredText(request, CommandKeys::kFilePathString);
        if (!name) return refusedBecause("no String FilePathString");
        return createResponse(
            launchClientProgram(*name, textOrEmpty(request, CommandKeys::kParametersString)));
    });
}

}  // namespace TarvikHelper
