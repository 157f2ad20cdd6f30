// Commands 35 and 36 (the bus), the forwarding of bus messages as command 37, and the
// controller commands 47 to 50 answered from the bus members and the installed apps.
#include <nlohmann/json.hpp>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "helper/requestentries.h"
#include "helper/requestids.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

namespace {

ValueSet refused(int32_t errorCode, const std::string& reason) {
    ValueSet response = refusedBecause(reason);
    response.Insert(Keys::kErrorCode, errorCode);
    return response;
}

}  // namespace

HelperServices::HelperServices(const std::string& packageName)
    : package(packageName),
      analytics(std::make_unique<AnalyticsStore>(packageName)),
      tokens(packageName),
      fileRoots(FileRoots::fromUserConfig()),
      environment(packageName) {}

void registerMessageCommands(HelperCommands& commands, HelperServices& services) {
    auto channel = commands.channel();
    services.bus = std::make_unique<MessageBus>(
        services.package,
        [channel](const std::string& type, const std::string& payload, const std::string& from) {
            TLOG("DBG", "bus message %s from %s", type.c_str(), from.c_str());
            ValueSet message = helperRequest(Commands::kMessageReceive);
            message.Insert(keyOf(CommandKeys::kMessageType), hstring::from_utf8(type));
            message.Insert(keyOf(CommandKeys::kPayload), hstring::from_utf8(payload));
            channel->sendCommandVoid(message);
        });
    MessageBus& bus = *services.bus;

    commands.add(Commands::kMessageRegister, [&bus](const ValueSet& request) {
        // A null version is allowed: the application may not know its own.
        const bool joined = bus.join(textOrEmpty(request, CommandKeys::kAppVersion));
        ValueSet response = createResponse(joined);
        response.Insert(Keys::kResult, static_cast<int32_t>(joined ? 0 : 1));
        return response;
    });

    commands.add(Commands::kMessageSend, [&bus](const ValueSet& request) {
        const auto type = requiredText(request, CommandKeys::kMessage);
        const auto payload = requiredText(request, CommandKeys::kPayload);
        if (!type || !payload)
            return refused(MessageBus::kEmptyType, "no String message and payload");
        ValueSet response = createResponse(true);
        response.Insert(Keys::kErrorCode, bus.send(*type, *payload));
        return response;
    });

    commands.add(Commands::kIsAppInstalled, [&services](const ValueSet& request) {
        const auto target = requiredText(request, CommandKeys::kTargetSpecifier);
        if (!target) return refusedBecause("no String TargetSpecifier");
        return answerWith(CommandKeys::kIsAppInstalled,
                          services.installed.find(*target).has_value());
    });

    commands.add(Commands::kIsAppAvailable, [&bus](const ValueSet& request) {
        const auto target = requiredText(request, CommandKeys::kTargetSpecifier);
        if (!target) return refusedBecause("no String TargetSpecifier");
        bool live = false;
        for (const auto& m : bus.members()) live = live || m.package == *target;
        return answerWith(CommandKeys::kIsAppAvailable, live);
    });

    commands.add(Commands::kLaunchApp, [&services, &bus](const ValueSet& request) {
        const auto target = requiredText(request, CommandKeys::kTargetSpecifier);
        if (!target) return refusedBecause("no String TargetSpecifier");
        const bool focus = entryOf<bool>(request, CommandKeys::kFocus).value_or(false);
        const std::string arguments =
            requiredText(request, CommandKeys::kCommandLineArguments).value_or("");
        bool running = false;
        for (const auto& m : bus.members()) running = running || m.package == *target;
        if (running) {
            // Already running: it is asked to come forward (when focus is wanted) and
            // gets the arguments, as a second start of it would hand them over.
            const nlohmann::json payload = {{"focus", focus}, {"arguments", arguments}};
            return answerWith(CommandKeys::kSuccessfullyLaunched,
                              bus.sendToPackage(*target, kActivateMessage, payload.dump()));
        }
        const auto app = services.installed.find(*target);
        return answerWith(CommandKeys::kSuccessfullyLaunched,
                          app.has_value() && services.installed.launch(*app, arguments));
    });

    commands.add(Commands::kGetSpecifiers, [&services](const ValueSet&) {
        const nlohmann::json list = services.installed.families();
        ValueSet response = createResponse(true);
        response.Insert(keyOf(CommandKeys::kKalderSpecifiers), hstring::from_utf8(list.dump()));
        return response;
    });
}

}  // namespace TarvikHelper
