// Commands 43 to 46: key-code mapping, the package's environment variables and the
// keyboard layout.
#include "common/commandcodes.h"
#include "common/messageschema.h"
#include "helper/requestentries.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"
#include "helper/system/keyboardlayout.h"
#include "helper/system/virtualkeys.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

void registerSystemCommands(HelperCommands& commands, HelperServices& services) {
    commands.add(Commands::kKeyCodeMapping, [](const ValueSet& request) {
        const auto code = entryOf<uint32_t>(request, L"KeyCode");
        const auto type = entryOf<uint32_t>(request, L"KeyMapType");
        if (!code || !type) {
            TLOG("WRN", "key mapping without UInt32 KeyCode and KeyMapType");
            return refusedBecause("no UInt32 KeyCode and KeyMapType");
        }
        return answerWith(L"KeyReturnCode", mapVirtualKey(*code, *type));
    });

    EnvironmentStore& environment = services.environment;
    commands.add(Commands::kGetEnvironmentVariable, [&environment](const ValueSet& request) {
        const auto name = requiredText(request, L"EnvVariableName");
        if (!name) return refusedBecause("no String EnvVariableName");
        return answerWith(L"EnvTableEntry", hstring::from_utf8(environment.get(*name)));
    });
    commands.add(Commands::kSetEnvironmentVariable, [&environment](const ValueSet& request) {
        const auto name = requiredText(request, L"EnvVariableName");
        if (!name) return refusedBecause("no String EnvVariableName");
        if (!environment.set(*name, textOrEmpty(request, L"EnvVariableValue")))
            return refusedBecause(EnvironmentStore::validName(*name)
                                      ? "the variable could not be stored"
                                      : "bad variable name");
        return createResponse(true);
    });

    commands.add(Commands::kGetKeyboardLayout, [](const ValueSet&) {
        return answerWith(L"KeyBoardLayout", keyboardLayoutOfSession());
    });
}

}  // namespace TarvikHelper
