#include "helper/servicecommands.h"

namespace TarvikHelper {

void registerServiceCommands(HelperCommands& commands, HelperServices& services) {
    registerMessageCommands(commands, services);
    registerAccountCommands(commands, services);
    registerAnalyticsCommands(commands, services);
    registerFileCommands(commands, services);
    registerSystemCommands(commands, services);
    registerProcessCommands(commands, services);
    registerPermissionCommands(commands, services);
    registerSocketCommands(commands, services);
    registerCartCommands(commands, services);
}

}  // namespace TarvikHelper
