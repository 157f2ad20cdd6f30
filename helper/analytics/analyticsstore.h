#pragma once
// The package's analytics, kept in one SQLite database under the helper's data folder
// so that sessions, events and data groups outlive the helper. Session handles and
// group ids are the rows' ids and stay valid across restarts.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace TarvikHelper {

class AnalyticsStore {
  public:
    struct SessionInfo {
        std::string appFamily, appName, appVersion, appLanguage, appBuild;
    };
    struct Event {
        uint64_t session = 0;
        std::string kind;  // "event" or "idle"
        std::string category, subCategory, name, docId;
    };

    // `file` empty: <user data root>/helper/analytics/<package>.sqlite.
    AnalyticsStore(const std::string& package, std::string file = {});
    AnalyticsStore(const AnalyticsStore&) = delete;
    AnalyticsStore& operator=(const AnalyticsStore&) = delete;

    // Whether the store is open, opening it if it was not.
    bool usable();
    void initialize(const std::string& personGuid, bool crashDetection,
                    const std::string& proxyUser);
    void setSerializationState(int32_t state);
    // Handles start at 1; 0 means the store could not open a session.
    uint64_t openCacheSession();
    uint64_t startSession(const SessionInfo& info);
    // False for a handle that names no open session.
    bool closeSession(uint64_t handle);
    int32_t newDataGroup(uint64_t handle, const std::string& category,
                         const std::string& subCategory, const std::string& name,
                         const std::string& docId);
    bool addToGroup(uint64_t handle, int32_t groupId, const std::string& key,
                    const std::string& value);
    bool logEvent(uint64_t handle, const std::string& category, const std::string& subCategory,
                  const std::string& name, const std::string& docId);
    bool logIdleTime(uint64_t handle);

    std::vector<Event> events();
    std::optional<std::string> setting(const std::string& key);
    const std::string& file() const { return file_; }

  private:
    // Opens the database unless it is open; the caller holds the mutex.
    bool ready();
    bool sessionOpen(uint64_t handle);
    bool exec(const char* sql);
    // Runs one statement whose parameters are the numbers first, then the texts; the
    // id of the inserted row, or 0 on failure.
    int64_t run(const char* sql, const std::vector<int64_t>& numbers,
                const std::vector<std::string>& texts);
    void putSetting(const std::string& key, const std::string& value);

    struct Close {
        void operator()(sqlite3* db) const;
    };
    std::string file_;
    std::unique_ptr<sqlite3, Close> db_;
    std::mutex mutex_;
};

}  // namespace TarvikHelper
