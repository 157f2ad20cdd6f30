#include "helper/accounts/accountstore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <pugixml.hpp>
#include <random>
#include <sstream>

#include <TarvikFoundation/platform/applicationdata.h>

#include "common/logger.h"
#include "helper/jsonfile.h"
#include "platform/privatefiles.h"

namespace TarvikHelper {

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

// Helpers of several applications share the file: one at a time reads and rewrites it.
class FileLock {
  public:
    explicit FileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT, 0600)) {
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int fd_;
};

std::string randomToken(std::size_t bytes) {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto b = static_cast<unsigned>(engine() & 0xFF);
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

std::string profileJson(const json& user) {
    json profile = {{"userId", user.value("userId", "")},
                    {"displayName", user.value("displayName", "")},
                    {"first_name", user.value("first_name", "")},
                    {"last_name", user.value("last_name", "")},
                    {"email", user.value("email", "")},
                    {"emailVerified", user.value("emailVerified", "true")},
                    {"account_type", user.value("account_type", "type2")}};
    if (user.contains("serviceAccounts")) profile["serviceAccounts"] = user["serviceAccounts"];
    return profile.dump();
}

std::string userDataXml(const json& user) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("UserData");
    root.append_child("UserID").text().set(user.value("userId", "").c_str());
    root.append_child("Email").text().set(user.value("email", "").c_str());
    root.append_child("ACSProfile").text().set(profileJson(user).c_str());
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    return out.str();
}

bool signedIn(const json& state) {
    return state.value("signedIn", false) && state.contains("user") && state["user"].is_object() &&
           !state["user"].value("userId", "").empty();
}

}  // namespace

AccountStore::AccountStore(std::string file) : file_(std::move(file)) {
    if (file_.empty()) file_ = Platform::ApplicationData::UserDataRoot() + "/helper/accounts.json";
}

template <class F>
auto AccountStore::locked(F&& body) {
    std::string ignored;  // saving reports a folder that could not be made
    Platform::PrivateFiles::createFolders(fs::path(file_).parent_path().string(), ignored);
    FileLock lock(file_ + ".lock");
    return body();
}

json AccountStore::load() const {
    return readJsonObject(file_);
}

void AccountStore::save(const json& state) const {
    if (!writeJsonAtomically(file_, state)) throw std::runtime_error("cannot replace " + file_);
}

std::optional<int32_t> AccountStore::forced(const json& state, int32_t command) {
    const auto it = state.find("forcedStatus");
    if (it == state.end() || !it->is_object()) return std::nullopt;
    const auto entry = it->find(std::to_string(command));
    if (entry == it->end() || !entry->is_number_integer()) return std::nullopt;
    return entry->get<int32_t>();
}

int32_t AccountStore::checkClient(const json& state, const std::string& clientId,
                                  const std::string& clientSecret) {
    if (clientId.empty()) return kInvalidArguments;
    const auto clients = state.find("clients");
    // Without registered clients every client is trusted, as on a developer machine.
    if (clients == state.end() || !clients->is_object() || clients->empty()) return kOk;
    const auto client = clients->find(clientId);
    if (client == clients->end() || !client->is_object()) return kInvalidClient;
    return client->value("secret", "") == clientSecret ? kOk : kInvalidClient;
}

AccountStore::Answer AccountStore::userData(const std::string& clientId) {
    return locked([&] {
        const json state = load();
        if (auto status = forced(state, 26)) return Answer{*status, {}};
        if (clientId.empty()) return Answer{kInvalidArguments, {}};
        if (!signedIn(state)) return Answer{kNoDefaultUser, {}};
        return Answer{kOk, userDataXml(state["user"])};
    });
}

int32_t AccountStore::signOut(const std::string& userGuid, const std::string& clientId,
                              const std::string& clientSecret) {
    return locked([&] {
        json state = load();
        if (auto status = forced(state, 27)) return *status;
        if (!signedIn(state)) return kNoDefaultUser;
        if (state["user"].value("userId", "") != userGuid) return kRevokeFailed;
        if (const int32_t client = checkClient(state, clientId, clientSecret); client != kOk)
            return client;
        state["signedIn"] = false;
        save(state);
        return kOk;
    });
}

AccountStore::Answer AccountStore::accessToken(const std::string& clientId,
                                               const std::string& clientSecret,
                                               const std::string& userGuid,
                                               const std::string& serviceGuid,
                                               const std::string& scope) {
    return locked([&] {
        const json state = load();
        if (auto status = forced(state, 28)) return Answer{*status, {}};
        if (!signedIn(state) || state["user"].value("userId", "") != userGuid)
            return Answer{kNoDefaultUser, {}};
        if (const int32_t client = checkClient(state, clientId, clientSecret); client != kOk)
            return Answer{client, {}};
        if (const auto clients = state.find("clients");
            clients != state.end() && clients->is_object() && clients->contains(clientId)) {
            const json& allowed = (*clients)[clientId].value("scopes", json::array());
            bool ok = !scope.empty();
            std::istringstream words(scope);
            for (std::string word; ok && words >> word;)
                ok = std::find(allowed.begin(), allowed.end(), word) != allowed.end();
            if (!ok) return Answer{kInvalidScope, {}};
        }
        const json token = {{"access_token", randomToken(24)},
                            {"refresh_token", randomToken(24)},
                            {"expires_in", 3600},
                            {"token_type", "bearer"},
                            {"scope", scope},
                            {"service_account", serviceGuid}};
        return Answer{kOk, token.dump()};
    });
}

int AccountStore::prompt(bool& signedInNow) {
    signedInNow = false;
    return locked([&] {
        json state = load();
        if (signedIn(state)) return kPromptSignedIn;
        if (!state.contains("user") || !state["user"].is_object() ||
            state["user"].value("userId", "").empty())
            return kPromptDismissed;
        state["signedIn"] = true;
        save(state);
        signedInNow = true;
        return kPromptSignedIn;
    });
}

void AccountStore::signIn(const Account& account) {
    locked([&] {
        json state = load();
        json user = {{"userId", account.userId},
                     {"email", account.email},
                     {"displayName", account.displayName},
                     {"first_name", account.firstName},
                     {"last_name", account.lastName},
                     {"emailVerified", "true"},
                     {"account_type", "type2"}};
        state["user"] = user;
        state["signedIn"] = true;
        save(state);
    });
}

bool AccountStore::signOutAll() {
    return locked([&] {
        json state = load();
        const bool was = signedIn(state);
        state["signedIn"] = false;
        save(state);
        return was;
    });
}

void AccountStore::forceStatus(int32_t command, int32_t status) {
    locked([&] {
        json state = load();
        if (status == 0) {
            if (state.contains("forcedStatus"))
                state["forcedStatus"].erase(std::to_string(command));
        } else {
            state["forcedStatus"][std::to_string(command)] = status;
        }
        save(state);
    });
}

void AccountStore::addClient(const std::string& clientId, const std::string& secret,
                             const std::string& scopes) {
    locked([&] {
        json state = load();
        json list = json::array();
        std::istringstream words(scopes);
        for (std::string word; words >> word;) list.push_back(word);
        state["clients"][clientId] = {{"secret", secret}, {"scopes", list}};
        save(state);
    });
}

}  // namespace TarvikHelper
