#pragma once
// The helper's account service: one JSON file of the user's, shared by every helper,
// that holds the machine's account, whether it is signed in, the clients that may ask
// for tokens, and statuses an operator forces for testing. Answers with the service
// statuses of the error table (0 is success).
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace TarvikHelper {

struct Account {
    std::string userId;
    std::string email;
    std::string displayName;
    std::string firstName;
    std::string lastName;
};

class AccountStore {
  public:
    static constexpr int32_t kOk = 0;
    static constexpr int32_t kInvalidArguments = 2;
    static constexpr int32_t kNoDefaultUser = 73;
    static constexpr int32_t kInvalidClient = 82;
    static constexpr int32_t kInvalidScope = 86;
    static constexpr int32_t kRevokeFailed = 121;
    // WSKLibResponse values of the sign-in prompt.
    static constexpr int kPromptDismissed = 1;
    static constexpr int kPromptSignedIn = 3;

    struct Answer {
        int32_t status = kOk;
        std::string text;  // user data XML or token JSON on success
    };

    // `file` empty: <user data root>/helper/accounts.json.
    explicit AccountStore(std::string file = {});

    Answer userData(const std::string& clientId);
    int32_t signOut(const std::string& userGuid, const std::string& clientId,
                    const std::string& clientSecret);
    Answer accessToken(const std::string& clientId, const std::string& clientSecret,
                       const std::string& userGuid, const std::string& serviceGuid,
                       const std::string& scope);
    // The sign-in prompt, answered without a user: the account on record signs back
    // in; with none on record the prompt counts as dismissed.
    int prompt(bool& signedInNow);

    // Operator actions (the command line).
    void signIn(const Account& account);
    bool signOutAll();
    // A status that `command` answers with until cleared (status 0 clears).
    void forceStatus(int32_t command, int32_t status);
    void addClient(const std::string& clientId, const std::string& secret,
                   const std::string& scopes);

    const std::string& file() const { return file_; }

  private:
    template <class F>
    auto locked(F&& body);
    nlohmann::json load() const;
    void save(const nlohmann::json& state) const;
    static std::optional<int32_t> forced(const nlohmann::json& state, int32_t command);
    static int32_t checkClient(const nlohmann::json& state, const std::string& clientId,
                               const std::string& clientSecret);

    std::string file_;
};

}  // namespace TarvikHelper
