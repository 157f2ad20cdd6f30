// Commands 17 to 25: the analytics store's sessions, events and data groups. A handle
// or group that names nothing open is refused with "response" 1.
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "helper/requestentries.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

namespace {

ValueSet done(bool ok, const char* what) {
    if (!ok) TLOG("WRN", "analytics %s refused: no such open session or group", what);
    return createResponse(ok);
}

ValueSet handleResponse(uint64_t handle) {
    ValueSet response = createResponse(handle != 0);
    if (handle != 0) response.Insert(keyOf(CommandKeys::kLogSessionHandle), handle);
    return response;
}

}  // namespace

void registerAnalyticsCommands(HelperCommands& commands, HelperServices& services) {
    AnalyticsStore& store = *services.analytics;

    commands.add(Commands::kAnalyticsInitializeCache,
                 [&store](const ValueSet&) { return handleResponse(store.openCacheSession()); });

    commands.add(Commands::kAnalyticsInitialize, [&store](const ValueSet& request) {
        store.initialize(textOrEmpty(request, CommandKeys::kPersonGuid),
                         entryOf<bool>(request, CommandKeys::kEnableCrashDetection).value_or(false),
                         textOrEmpty(request, CommandKeys::kProxyUsername));
        return createResponse(true);
    });

    commands.add(Commands::kAnalyticsStartSession, [&store](const ValueSet& request) {
        return handleResponse(store.startSession({textOrEmpty(request, CommandKeys::kAppFamily),
                                                  textOrEmpty(request, CommandKeys::kAppName),
                                                  textOrEmpty(request, CommandKeys::kAppVersion),
                                                  textOrEmpty(request, CommandKeys::kAppLanguage),
                                                  textOrEmpty(request, CommandKeys::kAppBuild)}));
    });

    commands.add(Commands::kAnalyticsSetSerializationState, [&store](const ValueSet& request) {
        const auto state = entryOf<int32_t>(request, CommandKeys::kState);
        if (state) store.setSerializationState(*state);
        return done(state.has_value(), "serialization state");
    });

    commands.add(Commands::kAnalyticsCloseSession, [&store](const ValueSet& request) {
        return done(store.closeSession(
                        entryOf<uint64_t>(request, CommandKeys::kLogSessionHandle).value_or(0)),
                    "close");
    });

    commands.add(Commands::kAnalyticsNewDataGroup, [&store](const ValueSet& request) {
        const int32_t id = store.newDataGroup(
            entryOf<uint64_t>(request, CommandKeys::kLogSessionHandle).value_or(0),
            textOrEmpty(request, CommandKeys::kCategory),
            textOrEmpty(request, CommandKeys::kSubCategory),
            textOrEmpty(request, CommandKeys::kGroupName),
            textOrEmpty(request, CommandKeys::kDocIdBuffer));
        ValueSet response = done(id != 0, "new data group");
        if (id != 0) response.Insert(keyOf(CommandKeys::kGroupId), id);
        return response;
    });

    commands.add(Commands::kAnalyticsAddToGroup, [&store](const ValueSet& request) {
        return done(
            store.addToGroup(entryOf<uint64_t>(request, CommandKeys::kLogSessionHandle).value_or(0),
                             entryOf<int32_t>(request, CommandKeys::kGroupId).value_or(0),
                             textOrEmpty(request, CommandKeys::kKey),
                             textOrEmpty(request, CommandKeys::kValue)),
            "add to group");
    });

    commands.add(Commands::kAnalyticsLogEvent, [&store](const ValueSet& request) {
        return done(
            store.logEvent(entryOf<uint64_t>(request, CommandKeys::kLogSessionHandle).value_or(0),
                           textOrEmpty(request, CommandKeys::kCategory),
                           textOrEmpty(request, CommandKeys::kSubCategory),
                           textOrEmpty(request, CommandKeys::kEventName),
                           textOrEmpty(request, CommandKeys::kDocIdBuffer)),
            "event");
    });

    commands.add(Commands::kAnalyticsLogIdleTime, [&store](const ValueSet& request) {
        return done(store.logIdleTime(
                        entryOf<uint64_t>(request, CommandKeys::kLogSessionHandle).value_or(0)),
                    "idle time");
    });
}

}  // namespace TarvikHelper
