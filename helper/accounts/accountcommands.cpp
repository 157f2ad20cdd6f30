// Commands 8, 26, 27 and 28: the account service's envelope request, user data,
// sign-out and access tokens, with the service statuses in "result".
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/tetherbox.h"
#include "helper/requestentries.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

namespace {

ValueSet withResult(int32_t result) {
    ValueSet response = createResponse(true);
    response.Insert(Keys::kResult, result);
    return response;
}

}  // namespace

void registerAccountCommands(HelperCommands& commands, HelperServices& services) {
    AccountStore& accounts = services.accounts;
    HelperServices* all = &services;

    commands.add(Commands::kFetchDefaultUserInfo, [&accounts](const ValueSet& request) {
        const auto clientId = requiredText(request, CommandKeys::kClientId);
        if (!clientId) return withResult(AccountStore::kInvalidArguments);
        const auto answer = accounts.userData(*clientId);
        ValueSet response = withResult(answer.status);
        if (answer.status == AccountStore::kOk)
            response.Insert(keyOf(CommandKeys::kUserData), hstring::from_utf8(answer.text));
        return response;
    });

    commands.add(Commands::kPassiveSignout, [&accounts, all](const ValueSet& request) {
        const auto user = requiredText(request, CommandKeys::kUserAccountGuid);
        const auto clientId = requiredText(request, CommandKeys::kClientId);
        const auto secret = requiredText(request, CommandKeys::kClientSecret);
        if (!user || !clientId || !secret) return withResult(AccountStore::kInvalidArguments);
        const int32_t status = accounts.signOut(*user, *clientId, *secret);
        if (status == AccountStore::kOk && all->bus) all->bus->send(kSignOutStatusMessage, "");
        return withResult(status);
    });

    commands.add(Commands::kFetchAccessToken, [&accounts](const ValueSet& request) {
        const auto clientId = requiredText(request, CommandKeys::kClientId);
        const auto secret = requiredText(request, CommandKeys::kClientSecret);
        const auto user = requiredText(request, CommandKeys::kUserAccountGuid);
        const auto service = requiredText(request, CommandKeys::kServiceAccountGuid);
        const auto scope = requiredText(request, CommandKeys::kScope);
        if (!clientId || !secret || !user || !service || !scope)
            return withResult(AccountStore::kInvalidArguments);
        const auto answer = accounts.accessToken(*clientId, *secret, *user, *service, *scope);
        ValueSet response = withResult(answer.status);
        if (answer.status == AccountStore::kOk)
            response.Insert(keyOf(CommandKeys::kUserData), hstring::from_utf8(answer.text));
        return response;
    });

    commands.add(Commands::kPassiveSignIn, [&accounts, all](const ValueSet& request) {
        const auto envelope = requiredText(request, CommandKeys::kInOutBuffer);
        if (!envelope) return withResult(AccountStore::kInvalidArguments);
        const auto call = Tetherbox::readRequest(*envelope);
        const std::string function = call ? call->function : std::string();
        if (function != "showZEL") {
            TLOG("WRN", "envelope request for unknown function '%s'", function.c_str());
            return withResult(AccountStore::kInvalidArguments);
        }
        bool signedInNow = false;
        const int value = accounts.prompt(signedInNow);
        if (signedInNow && all->bus) all->bus->send(kSignedInMessage, "");
        ValueSet response = withResult(AccountStore::kOk);
        response.Insert(keyOf(CommandKeys::kInOutBuffer),
                        hstring::from_utf8(Tetherbox::response(*call, value)));
        return response;
    });
}

}  // namespace TarvikHelper
