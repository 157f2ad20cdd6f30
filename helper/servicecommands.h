#pragma once
// The helper's services and the commands that reach them: the message bus with the
// installed applications, the account service, the analytics store, files, system
// calls, processes, folder permissions, the socket server and the cart client.
#include <memory>
#include <string>

#include "helper/accounts/accountstore.h"
#include "helper/analytics/analyticsstore.h"
#include "helper/bus/installedapps.h"
#include "helper/bus/messagebus.h"
#include "helper/files/fileroots.h"
#include "helper/files/filetokens.h"
#include "helper/helpercommands.h"
#include "helper/processes/applicationprocesswatch.h"
#include "helper/processes/processwatcher.h"
#include "helper/sockets/socketserver.h"
#include "helper/system/environmentstore.h"

namespace TarvikHelper {

// Broadcast on the bus when the account service's state changes.
inline constexpr const char* kSignedInMessage = "kalder.SuiteMessage.any.pxdc.app.SignedIn";
inline constexpr const char* kSignOutStatusMessage =
    "kalder.SuiteMessage.com.orvane.zel.ZELSIGNOUTStatus";
// Sent to a running application that LaunchApp asked to come forward.
inline constexpr const char* kActivateMessage = "kalder.SuiteMessage.any.app.Activate";

struct HelperServices {
    explicit HelperServices(const std::string& package);
    std::string package;
    std::unique_ptr<MessageBus> bus;
    AccountStore accounts;
    std::unique_ptr<AnalyticsStore> analytics;
    InstalledApps installed;
    FileTokens tokens;
    FileRoots fileRoots;
    EnvironmentStore environment;
    pid_t applicationPid = 0;  // as the helper sees it; 0 when unknown
    std::unique_ptr<ApplicationProcessWatch> processes;
    std::unique_ptr<SocketServer> sockets;
};

void registerMessageCommands(HelperCommands& commands, HelperServices& services);
void registerAccountCommands(HelperCommands& commands, HelperServices& services);
void registerAnalyticsCommands(HelperCommands& commands, HelperServices& services);
void registerFileCommands(HelperCommands& commands, HelperServices& services);
void registerSystemCommands(HelperCommands& commands, HelperServices& services);
void registerProcessCommands(HelperCommands& commands, HelperServices& services);
void registerPermissionCommands(HelperCommands& commands, HelperServices& services);
void registerSocketCommands(HelperCommands& commands, HelperServices& services);
void registerCartCommands(HelperCommands& commands, HelperServices& services);
// Every service's commands, as the helper serves them.
void registerServiceCommands(HelperCommands& commands, HelperServices& services);

}  // namespace TarvikHelper
