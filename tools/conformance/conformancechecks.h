#pragma once
// The checks of a helper against the contract, run in order against one helper.
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <TarvikFoundation/platform/valueset.h>

#include "common/commandtable.h"
#include "tools/conformance/helperlink.h"
#include "tools/conformance/helpersandbox.h"
#include "tools/conformance/report.h"
#include "tools/conformance/requestvalues.h"

namespace Conformance {

struct CheckOptions {
    // The commands the helper implements; empty: all of the table. The others must
    // still be answered, with "response" 1.
    std::set<int32_t> only;
    std::chrono::milliseconds answerTimeout{5000};
    std::chrono::milliseconds connectTimeout{15000};
    // The helper's command line only in the package's settings, not on its arguments.
    bool fromSettings = false;
};

class ConformanceChecks {
  public:
    ConformanceChecks(Report& report, HelperSandbox& sandbox, HelperLink& link,
                      CheckOptions options);
    // Runs every check; returns when done or when the helper cannot be checked further.
    void run(const std::vector<std::string>& program);

  private:
    struct Abort {};

    bool implemented(int32_t code) const;
    void firstConnection(const std::vector<std::string>& program);
    void expectCommand41(int connection, const std::string& after);
    void commandChecks();
    void checkCommand(const Tarvik::CommandTable::CommandSpec& entry);
    void checkUnimplemented(const Tarvik::CommandTable::CommandSpec& entry);
    void envelopeChecks();
    void executedOnceChecks();
    void acknowledgementChecks();
    void frameChecks();
    void helperRequestChecks();
    void exitCheck();

    // A request of `entry` with valid values for every key, an id and no acknowledgements.
    Platform::ValueSet validRequest(const Tarvik::CommandTable::CommandSpec& entry);
    Platform::ValueSet request(int32_t command);
    uint64_t nextId() { return ++lastId_; }
    // Sends and waits; a missing answer is reported under `what` and counted.
    std::optional<Platform::ValueSet> exchange(
        const Platform::ValueSet& message, const std::string& what,
        std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // Whether the answer carries an Int32 "response"; its value.
    static std::optional<int32_t> responseOf(const Platform::ValueSet& answer);
    // Ends the run when the helper has gone or stopped answering.
    void ensureAlive();
    bool awaitConnection(int seen);
    bool reconnect(const std::string& why);
    static std::string label(const Tarvik::CommandTable::CommandSpec& entry);

    Report& report_;
    HelperSandbox& sandbox_;
    HelperLink& link_;
    CheckOptions options_;
    RequestValues values_;
    uint64_t lastId_ = 0;
    int silentAnswers_ = 0;
    bool helperExitChecked_ = false;
};

}  // namespace Conformance
