// Commands 53 and 54, the process list and exit watches, and the exit notices sent to
// the application as command 55.
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/messageschema.h"
#include "helper/processes/applicationprocesswatch.h"
#include "helper/processes/processlist.h"
#include "helper/requestentries.h"
#include "helper/requestids.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

void registerProcessCommands(HelperCommands& commands, HelperServices& services) {
    auto channel = commands.channel();
    services.processes =
        std::make_unique<ApplicationProcessWatch>(services.applicationPid, [channel](uint32_t pid) {
            ValueSet notice = helperRequest(Commands::kProcessExited);
            notice.Insert(keyOf(CommandKeys::kProcessId), pid);
            channel->sendCommandVoid(notice);
        });
    ApplicationProcessWatch& watcher = *services.processes;

    commands.add(Commands::kGetProcessList, [](const ValueSet&) {
        return answerWith(CommandKeys::kProcessList,
                          hstring::from_utf8(processListJson(runningProcesses())));
    });
    commands.add(Commands::kWatchProcess, [&watcher](const ValueSet& request) {
        const auto pid = entryOf<uint32_t>(request, CommandKeys::kProcessId);
        if (!pid) {
            TLOG("WRN", "watch request without UInt32 ProcessID");
            return refusedBecause("no UInt32 ProcessID");
        }
        if (!watcher.watch(*pid)) return refusedBecause("not a process of the application");
        return createResponse(true);
    });
}

}  // namespace TarvikHelper
