#include "helper/accounts/accountcli.h"

#include <cstdio>
#include <map>

#include "common/programoptions.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

namespace {

constexpr const char* kUsage =
    "usage: tarvik-helper account signin --user ID --email E [--name N] [--first F] [--last L]\n"
    "       tarvik-helper account signout\n"
    "       tarvik-helper account client --id C --secret S [--scopes \"a b\"]\n"
    "       tarvik-helper account force --command N --status S   (status 0 clears)\n";

int usage(const char* problem) {
    std::fprintf(stderr, "tarvik-helper: %s\n%s", problem, kUsage);
    return 2;
}

// The flags after the action, each "--name value".
bool parseFlags(const std::vector<std::string>& args, std::map<std::string, std::string>& flags,
                std::string& error) {
    namespace po = boost::program_options;
    po::options_description options;
    for (const char* name :
         {"user", "email", "name", "first", "last", "id", "secret", "scopes", "command", "status"})
        options.add_options()(name, po::value<std::string>());
    po::variables_map values;
    if (!Tarvik::ProgramOptions::parse({args.begin() + 1, args.end()}, options, {}, values, error))
        return false;
    for (const auto& [name, value] : values) flags[name] = value.as<std::string>();
    return true;
}

bool number(const std::string& text, int32_t& out) {
    try {
        std::size_t used = 0;
        out = std::stoi(text, &used);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

void announce(const char* type) {
    MessageBus bus("tarvik-helper", nullptr);
    bus.send(type, "");
}

}  // namespace

int runAccountCommand(const std::vector<std::string>& args) {
    if (args.empty()) return usage("account needs an action");
    if (args[0] == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::map<std::string, std::string> flags;
    std::string error;
    if (!parseFlags(args, flags, error)) return usage(error.c_str());
    AccountStore store;
    try {
        const std::string& action = args[0];
        if (action == "signin") {
            if (flags["user"].empty() || flags["email"].empty())
                return usage("signin needs --user and --email");
            store.signIn(
                {flags["user"], flags["email"], flags["name"], flags["first"], flags["last"]});
            announce(kSignedInMessage);
            std::printf("signed in %s\n", flags["user"].c_str());
        } else if (action == "signout") {
            if (store.signOutAll()) announce(kSignOutStatusMessage);
            std::printf("signed out\n");
        } else if (action == "client") {
            if (flags["id"].empty()) return usage("client needs --id");
            store.addClient(flags["id"], flags["secret"], flags["scopes"]);
        } else if (action == "force") {
            int32_t command = 0, status = 0;
            if (!number(flags["command"], command) || !number(flags["status"], status))
                return usage("force needs numeric --command and --status");
            store.forceStatus(command, status);
        } else {
            return usage("unknown account action");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-helper: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace TarvikHelper
