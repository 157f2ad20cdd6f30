#include "helper/analytics/analyticsstore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <ctime>

#include <TarvikFoundation/platform/applicationdata.h>

#include "common/logger.h"
#include "platform/privatefiles.h"

namespace TarvikHelper {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (
  id INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL,
  app_family TEXT, app_name TEXT, app_version TEXT, app_language TEXT, app_build TEXT,
  person_guid TEXT, started_at INTEGER NOT NULL, closed_at INTEGER);
CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY AUTOINCREMENT, session_id INTEGER NOT NULL REFERENCES sessions(id),
  kind TEXT NOT NULL, category TEXT, sub_category TEXT, name TEXT, doc_id TEXT,
  at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS groups (
  id INTEGER PRIMARY KEY AUTOINCREMENT, session_id INTEGER NOT NULL REFERENCES sessions(id),
  category TEXT, sub_category TEXT, name TEXT, doc_id TEXT, at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS group_items (
  group_id INTEGER NOT NULL REFERENCES groups(id), key TEXT NOT NULL, value TEXT);
)sql";

// One prepared statement, finalized however the caller leaves.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            TLOG("CRT", "analytics statement refused: %s", sqlite3_errmsg(db));
            stmt_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

void AnalyticsStore::Close::operator()(sqlite3* db) const {
    sqlite3_close(db);
}

AnalyticsStore::AnalyticsStore(const std::string& package, std::string file)
    : file_(std::move(file)) {
    if (file_.empty())
        file_ =
            Platform::ApplicationData::UserDataRoot() + "/helper/analytics/" + package + ".sqlite";
    std::lock_guard g(mutex_);
    ready();
}

// A store that could not be opened (a full disk, a folder that cannot be written) is
// tried again at its next use, so analytics come back once the disk does.
bool AnalyticsStore::ready() {
    if (db_) return true;
    std::string error;
    if (!Platform::PrivateFiles::createFolders(
            boost::filesystem::path(file_).parent_path().string(), error)) {
        TLOG("CRT", "analytics store %s cannot be opened: %s", file_.c_str(), error.c_str());
        return false;
    }
    // Made 0600 before SQLite opens it; its journal files take the same mode.
    if (const int fd = Platform::PrivateFiles::openPrivate(file_, O_RDWR | O_CREAT); fd >= 0)
        ::close(fd);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(
        file_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
        nullptr);
    db_.reset(raw);  // closed even when opening failed
    if (rc != SQLITE_OK) {
        TLOG("CRT", "analytics store %s cannot be opened: %s", file_.c_str(),
             raw ? sqlite3_errmsg(raw) : "out of memory");
        db_.reset();
        return false;
    }
    // Two helpers of one package may share the file for a moment while one hands over.
    sqlite3_busy_timeout(db_.get(), 2000);
    if (!exec("PRAGMA journal_mode=WAL;") || !exec(kSchema)) {
        db_.reset();
        return false;
    }
    return true;
}

bool AnalyticsStore::usable() {
    std::lock_guard g(mutex_);
    return ready();
}

bool AnalyticsStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    TLOG("CRT", "analytics store: %s", error ? error : "unknown error");
    sqlite3_free(error);
    return false;
}

int64_t AnalyticsStore::run(const char* sql, const std::vector<int64_t>& numbers,
                            const std::vector<std::string>& texts) {
    if (!ready()) return 0;
    Statement st(db_.get(), sql);
    if (!st) return 0;
    int index = 1;
    for (int64_t n : numbers) sqlite3_bind_int64(st.get(), index++, n);
    for (const auto& t : texts)
        sqlite3_bind_text(st.get(), index++, t.data(), static_cast<int>(t.size()),
                          SQLITE_TRANSIENT);
    if (sqlite3_step(st.get()) != SQLITE_DONE) {
        TLOG("CRT", "analytics store: %s", sqlite3_errmsg(db_.get()));
        return 0;
    }
    return sqlite3_last_insert_rowid(db_.get());
}

void AnalyticsStore::putSetting(const std::string& key, const std::string& value) {
    run("INSERT INTO settings(key, value) VALUES(?, ?) "
        "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
        {}, {key, value});
}

void AnalyticsStore::initialize(const std::string& personGuid, bool crashDetection,
                                const std::string& proxyUser) {
    std::lock_guard g(mutex_);
    putSetting("personGUID", personGuid);
    putSetting("enableCrashDetection", crashDetection ? "true" : "false");
    // The proxy password stays in memory of the uploader only; it is never written.
    putSetting("ProxyUsername", proxyUser);
}

void AnalyticsStore::setSerializationState(int32_t state) {
    std::lock_guard g(mutex_);
    putSetting("serializationState", std::to_string(state));
}

uint64_t AnalyticsStore::openCacheSession() {
    std::lock_guard g(mutex_);
    const auto guid = setting("personGUID");
    return static_cast<uint64_t>(
        run("INSERT INTO sessions(kind, person_guid, started_at) VALUES('cache', ?2, ?1)", {now()},
            {guid.value_or("")}));
}

uint64_t AnalyticsStore::startSession(const SessionInfo& info) {
    std::lock_guard g(mutex_);
    const auto guid = setting("personGUID");
    return static_cast<uint64_t>(
        run("INSERT INTO sessions(kind, started_at, app_family, app_name, app_version, "
            "app_language, app_build, person_guid) VALUES('app', ?, ?, ?, ?, ?, ?, ?)",
            {now()},
            {info.appFamily, info.appName, info.appVersion, info.appLanguage, info.appBuild,
             guid.value_or("")}));
}

bool AnalyticsStore::sessionOpen(uint64_t handle) {
    if (handle == 0 || handle > static_cast<uint64_t>(INT64_MAX) || !ready()) return false;
    Statement st(db_.get(), "SELECT 1 FROM sessions WHERE id = ? AND closed_at IS NULL");
    if (!st) return false;
    sqlite3_bind_int64(st.get(), 1, static_cast<int64_t>(handle));
    return sqlite3_step(st.get()) == SQLITE_ROW;
}

bool AnalyticsStore::closeSession(uint64_t handle) {
    std::lock_guard g(mutex_);
    if (!sessionOpen(handle)) return false;
    run("UPDATE sessions SET closed_at = ? WHERE id = ?", {now(), static_cast<int64_t>(handle)},
        {});
    return true;
}

int32_t AnalyticsStore::newDataGroup(uint64_t handle, const std::string& category,
                                     const std::string& subCategory, const std::string& name,
                                     const std::string& docId) {
    std::lock_guard g(mutex_);
    if (!sessionOpen(handle)) return 0;
    const int64_t id =
        run("INSERT INTO groups(session_id, at, category, sub_category, name, doc_id) "
            "VALUES(?, ?, ?, ?, ?, ?)",
            {static_cast<int64_t>(handle), now()}, {category, subCategory, name, docId});
    // Group ids are 32 bits wide on the wire.
    return id > 0 && id <= INT32_MAX ? static_cast<int32_t>(id) : 0;
}

bool AnalyticsStore::addToGroup(uint64_t handle, int32_t groupId, const std::string& key,
                                const std::string& value) {
    std::lock_guard g(mutex_);
    if (!sessionOpen(handle) || !db_) return false;
    {
        Statement st(db_.get(), "SELECT 1 FROM groups WHERE id = ? AND session_id = ?");
        if (!st) return false;
        sqlite3_bind_int64(st.get(), 1, groupId);
        sqlite3_bind_int64(st.get(), 2, static_cast<int64_t>(handle));
        if (sqlite3_step(st.get()) != SQLITE_ROW) return false;
    }
    return run("INSERT INTO group_items(group_id, key, value) VALUES(?, ?, ?)", {groupId},
               {key, value}) != 0;
}

bool AnalyticsStore::logEvent(uint64_t handle, const std::string& category,
                              const std::string& subCategory, const std::string& name,
                              const std::string& docId) {
    std::lock_guard g(mutex_);
    if (!sessionOpen(handle)) return false;
    return run("INSERT INTO events(session_id, at, kind, category, sub_category, name, doc_id) "
               "VALUES(?, ?, 'event', ?, ?, ?, ?)",
               {static_cast<int64_t>(handle), now()}, {category, subCategory, name, docId}) != 0;
}

bool AnalyticsStore::logIdleTime(uint64_t handle) {
    std::lock_guard g(mutex_);
    if (!sessionOpen(handle)) return false;
    return run("INSERT INTO events(session_id, at, kind) VALUES(?, ?, 'idle')",
               {static_cast<int64_t>(handle), now()}, {}) != 0;
}

std::vector<AnalyticsStore::Event> AnalyticsStore::events() {
    std::lock_guard g(mutex_);
    std::vector<Event> out;
    if (!ready()) return out;
    Statement st(db_.get(),
                 "SELECT session_id, kind, IFNULL(category, ''), IFNULL(sub_category, ''), "
                 "IFNULL(name, ''), IFNULL(doc_id, '') FROM events ORDER BY id");
    if (!st) return out;
    const auto text = [&](int column) {
        const auto* p = sqlite3_column_text(st.get(), column);
        return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
    };
    while (sqlite3_step(st.get()) == SQLITE_ROW)
        out.push_back({static_cast<uint64_t>(sqlite3_column_int64(st.get(), 0)), text(1), text(2),
                       text(3), text(4), text(5)});
    return out;
}

std::optional<std::string> AnalyticsStore::setting(const std::string& key) {
    if (!ready()) return std::nullopt;
    Statement st(db_.get(), "SELECT value FROM settings WHERE key = ?");
    if (!st) return std::nullopt;
    sqlite3_bind_text(st.get(), 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(st.get()) != SQLITE_ROW) return std::nullopt;
    const auto* p = sqlite3_column_text(st.get(), 0);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
}

}  // namespace TarvikHelper
