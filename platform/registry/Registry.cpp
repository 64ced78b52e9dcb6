// The registry: keys and typed values in one SQLite database of the machine.
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/base/LiveSet.h"
#include "platform/base/Posix.h"
#include "platform/registry/SqliteDb.h"
#include "platform/winreg.h"

// An open key: the row id of the key in the database. A deleted key's id is
// never handed out again, so a handle to it can tell that it is gone.
struct RegistryKey {
    int64_t id;
};

namespace {

using platform::SqliteDb;
using platform::SqliteStatement;
using platform::SqliteTransaction;

// Key names are compared in upper case, as the real registry orders them;
// `name` keeps the letter case of the creator. Row ids 1 to 4 are the
// predefined roots, in the order of their handle values.
constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS reg_keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  written INTEGER NOT NULL,
  UNIQUE(parent, fold));
CREATE TABLE IF NOT EXISTS reg_values(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, fold));
INSERT OR IGNORE INTO reg_keys(id, parent, name, fold, written) VALUES
  (1, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT', 0),
  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', 0),
  (3, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 0),
  (4, 0, 'HKEY_USERS', 'HKEY_USERS', 0);
)";
constexpr int64_t kRootCount = 4;
constexpr uintptr_t kFirstRootHandle = 0x80000000;
constexpr int64_t kLocalMachineId = 3;
// HKEY_CURRENT_CONFIG has no row of its own: each call finds its key below
// HKEY_LOCAL_MACHINE (kCurrentConfigPath).
constexpr uintptr_t kCurrentConfigHandle = 0x80000005;
constexpr int64_t kCurrentConfigId = -1;
constexpr int kBusyTimeoutMs = 10000;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

// Everything below is guarded by g_mutex: the connection (one per process,
// opened on first use) and the use of the set of live handles, which
// registry calls reach only under it.
std::mutex g_mutex;
SqliteDb* g_db = nullptr;
// Set in a child after fork(): the connection it inherited is its parent's.
// (Asking getpid() on every call would cost a system call each.)
bool g_dbInherited = false;
std::filesystem::path* g_dbState = nullptr;

// Answers of RegGetValueA kept for one data version of the database: any
// commit, by this connection or by another process, changes the version
// that SQLite reports inside the next read transaction, and then every kept
// answer goes. A read still takes its read transaction, so what another
// process has written is seen at once; what it saves is the walk down the
// key path and the value's query.
struct CachedValue {
    LONG rc = ERROR_SUCCESS;  // ERROR_SUCCESS or ERROR_FILE_NOT_FOUND
    DWORD type = 0;
    std::string bytes;
    std::string name;  // as stored, in its letter case
};
struct ReadCache {
    const SqliteDb* db = nullptr;
    unsigned version = 0;
    // The answers also hold while no write has begun since `writes` were
    // counted (WriteCounts), when `counted`.
    bool counted = false;
    uint64_t writes = 0;
    std::unordered_map<std::string, CachedValue> values;
};
constexpr size_t kMaxCachedValues = 1024;
constexpr size_t kMaxCachedBytes = 4096;
ReadCache* g_readCache = nullptr;

// Another connection's data versions mean nothing to this one.
void ForgetReadCache() {
    if (!g_readCache) return;
    g_readCache->values.clear();
    g_readCache->db = nullptr;
    g_readCache->counted = false;
}

// The write transactions begun and ended on the database by all processes,
// counted in a small file beside it ("registry.writes", 0600) that each
// process maps. While both counts are equal and unchanged since answers were
// read, no process has written since: a read takes a kept answer without a
// transaction of its own. A writer that dies inside its transaction leaves
// the counts unequal, and every read then takes its transaction as before.
struct WriteCounts {
    std::atomic<uint64_t> begun;
    std::atomic<uint64_t> ended;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);
WriteCounts* g_counts = nullptr;

WriteCounts* MapWriteCounts(const std::filesystem::path& state) {
    const int fd = platform::OpenStateFile(state / "registry.writes", O_RDWR);
    if (fd < 0) return nullptr;
    struct stat st {};
    void* mapped = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_size >= static_cast<off_t>(sizeof(WriteCounts)) ||
         ftruncate(fd, sizeof(WriteCounts)) == 0))
        mapped = mmap(nullptr, sizeof(WriteCounts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return mapped == MAP_FAILED ? nullptr : static_cast<WriteCounts*>(mapped);
}

void UnmapWriteCounts() {
    if (g_counts) munmap(g_counts, sizeof(WriteCounts));
    g_counts = nullptr;
}

// A fork() while another thread is inside a registry call must not leave the
// child with a locked mutex.
void LockBeforeFork() { g_mutex.lock(); }
void UnlockAfterFork() { g_mutex.unlock(); }
void ChildAfterFork() {
    g_dbInherited = g_db != nullptr;
    g_mutex.unlock();
}

platform::LiveSet<RegistryKey>& Handles() {
    static auto* handles = new platform::LiveSet<RegistryKey>;
    return *handles;
}

LONG CodeFor(int rc) {
    switch (rc) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return ERROR_SUCCESS;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return ERROR_BADDB;
        case SQLITE_FULL: return ERROR_DISK_FULL;
        case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
        case SQLITE_CANTOPEN: return ERROR_ACCESS_DENIED;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return ERROR_BUSY;
        default: return ERROR_REGISTRY_IO_FAILED;
    }
}

int SeedNewMachine(SqliteDb& db);

// Whether the database has its schema and first keys; read in a read
// transaction, so that a process that only reads never waits for a writer.
int IsSetUp(SqliteDb& db, bool& setUp) {
    SqliteTransaction transaction(db, SqliteTransaction::Kind::Read);
    if (transaction.status() != SQLITE_OK) return transaction.status();
    SqliteStatement version(db.handle(), "PRAGMA user_version");
    int rc = version.Step();
    if (rc != SQLITE_ROW) return rc;
    setUp = version.Int(0) != 0;
    return SQLITE_OK;
}

// Opens the database of the state directory `state`, setting it up when
// it is new.
LONG OpenDatabase(const std::filesystem::path& state, SqliteDb& db) {
    const std::filesystem::path file = state / "registry.db";
    // Made private before SQLite opens it; its log files take its mode.
    int fd = platform::OpenStateFile(file, O_RDWR);
    if (fd >= 0) close(fd);
    int rc = db.Open(file, kBusyTimeoutMs);
    bool setUp = false;
    if (rc == SQLITE_OK) rc = IsSetUp(db, setUp);
    if (rc != SQLITE_OK || setUp) return CodeFor(rc);
    if (db.ReadOnly()) return ERROR_ACCESS_DENIED;
    return CodeFor(db.SetUp(kSchema, SeedNewMachine));
}

// The process's connection, opened on first use. A child after fork()
// opens its own.
LONG Database(SqliteDb*& db) {
    static std::once_flag atFork;
    std::call_once(atFork, [] { pthread_atfork(LockBeforeFork, UnlockAfterFork, ChildAfterFork); });
    if (g_db && g_dbInherited) {
        g_db->Abandon();
        delete g_db;
        g_db = nullptr;
        ForgetReadCache();
        UnmapWriteCounts();
    }
    // A process that names another state directory reaches its registry
    // (compared as text: the same directory spelt otherwise opens it again).
    const std::string statePath = platform::StateDirText();
    if (g_db && g_dbState->native() != statePath) {
        delete g_db;
        g_db = nullptr;
        ForgetReadCache();
        UnmapWriteCounts();
    }
    if (!g_db) {
        std::filesystem::path state = platform::StateDir();
        if (state.empty()) return static_cast<LONG>(GetLastError());
        auto* opened = new SqliteDb;
        LONG rc = OpenDatabase(state, *opened);
        if (rc != ERROR_SUCCESS) {
            delete opened;
            return rc;
        }
        g_db = opened;
        g_counts = MapWriteCounts(state);
        g_dbInherited = false;
        if (!g_dbState) g_dbState = new std::filesystem::path;
        *g_dbState = statePath;
    }
    db = g_db;
    return ERROR_SUCCESS;
}

// The key id of a handle, or nullopt for a closed or unknown one.
std::optional<int64_t> KeyIdOf(HKEY key) {
    auto value = reinterpret_cast<uintptr_t>(key);
    if (value >= kFirstRootHandle && value < kFirstRootHandle + kRootCount)
        return static_cast<int64_t>(value - kFirstRootHandle) + 1;
    if (value == kCurrentConfigHandle) return kCurrentConfigId;
    std::optional<int64_t> id;
    Handles().With(key, [&](RegistryKey& open) { id = open.id; });
    return id;
}

HKEY NewHandle(int64_t id) { return Handles().Add(std::make_unique<RegistryKey>(RegistryKey{id})); }

std::string Fold(std::string_view name) { return platform::AsciiUpper(name); }

// Time of a change as a FILETIME count (100 ns since 1601).
int64_t Now() {
    constexpr int64_t kUnixEpochAsFileTime = 116444736000000000;
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsFileTime +
           std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

// Splits a subkey path at its backslashes. Null or empty names the key
// itself; one trailing backslash is allowed; a leading backslash or an empty
// component is a bad path.
LONG SplitPath(LPCSTR subKey, std::vector<std::string_view>& parts) {
    parts.clear();
    if (!subKey || !*subKey) return ERROR_SUCCESS;
    std::string_view path(subKey);
    if (path.back() == '\\') path.remove_suffix(1);
    for (;;) {
        size_t end = path.find('\\');
        std::string_view part = path.substr(0, end);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        parts.push_back(part);
        if (end == std::string_view::npos) return ERROR_SUCCESS;
        path.remove_prefix(end + 1);
    }
}

LONG CheckValueName(LPCSTR name) {
    if (name && std::strlen(name) > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// The child of `parent` named `name` (any case): 0 and its id, or 2.
LONG FindChild(SqliteDb& db, int64_t parent, std::string_view name, int64_t& id) {
    SqliteStatement find(db, "SELECT id FROM reg_keys WHERE parent = ?1 AND fold = ?2");
    find.Bind(1, parent).Bind(2, Fold(name));
    int rc = find.Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return CodeFor(rc);
    id = find.Int(0);
    return ERROR_SUCCESS;
}

LONG AddChild(SqliteDb& db, int64_t parent, std::string_view name, int64_t& id) {
    SqliteStatement insert(
        db, "INSERT INTO reg_keys(parent, name, fold, written) VALUES(?1, ?2, ?3, ?4)");
    insert.Bind(1, parent).Bind(2, name).Bind(3, Fold(name)).Bind(4, Now());
    int rc = insert.Step();
    if (rc != SQLITE_DONE) return CodeFor(rc);
    id = sqlite3_last_insert_rowid(db.handle());
    return ERROR_SUCCESS;
}

LONG Touch(SqliteDb& db, int64_t id) {
    SqliteStatement touch(db, "UPDATE reg_keys SET written = ?2 WHERE id = ?1");
    return CodeFor(touch.Bind(1, id).Bind(2, Now()).Step());
}

// Walks `parts` down from `id`; with `create`, adds the missing keys.
LONG Walk(SqliteDb& db, int64_t& id, const std::vector<std::string_view>& parts, bool create,
          bool& created) {
    created = false;
    for (std::string_view part : parts) {
        int64_t child = 0;
        LONG rc = FindChild(db, id, part, child);
        if (rc == ERROR_FILE_NOT_FOUND && create) {
            rc = AddChild(db, id, part, child);
            created = true;
        }
        if (rc != ERROR_SUCCESS) return rc;
        id = child;
    }
    return ERROR_SUCCESS;
}

// The key of the current hardware profile, which HKEY_CURRENT_CONFIG
// names; `create` makes it where an older database lacks it.
LONG CurrentConfigKey(SqliteDb& db, bool create, int64_t& id) {
    static const std::vector<std::string_view> kCurrentConfigPath = {
        "SYSTEM", "CurrentControlSet", "Hardware Profiles", "Current"};
    id = kLocalMachineId;
    bool created = false;
    return Walk(db, id, kCurrentConfigPath, create, created);
}

// A new database gets the keys every machine has: the services database, the
// control key that holds the shutdown wait, and the system version, which
// installers test. The database's user_version marks it as seeded.
int SeedNewMachine(SqliteDb& db) {
    SqliteStatement version(db.handle(), "PRAGMA user_version");
    int rc = version.Step();
    if (rc != SQLITE_ROW) return rc;
    if (version.Int(0) != 0) return SQLITE_OK;

    const std::vector<std::vector<std::string_view>> paths = {
        {"SYSTEM", "CurrentControlSet", "Control"},
        {"SYSTEM", "CurrentControlSet", "Services"},
        {"SYSTEM", "CurrentControlSet", "Hardware Profiles", "Current"},
        {"SOFTWARE", "Microsoft", "Windows NT", "CurrentVersion"},
    };
    int64_t id = 0;
    bool created = false;
    for (const auto& path : paths) {
        id = kLocalMachineId;
        if (Walk(db, id, path, true, created) != ERROR_SUCCESS) return SQLITE_ERROR;
    }
    static constexpr char kVersion[] = "6.3";
    SqliteStatement value(db.handle(),
                          "INSERT OR IGNORE INTO reg_values(key, name, fold, type, data) "
                          "VALUES(?1, 'CurrentVersion', 'CURRENTVERSION', ?2, ?3)");
    value.Bind(1, id).Bind(2, static_cast<int64_t>(REG_SZ)).BindBlob(3, kVersion, sizeof kVersion);
    rc = value.Step();
    if (rc != SQLITE_DONE) return rc;
    return db.Exec("PRAGMA user_version = 1");
}

// One registry call: holds the process's lock, checks the handle, and runs
// a transaction in which the key is known to exist.
class Session {
public:
    Session(HKEY key, SqliteTransaction::Kind kind) : lock_(g_mutex) {
        std::optional<int64_t> id = KeyIdOf(key);
        if (!id) {
            status_ = ERROR_INVALID_HANDLE;
            return;
        }
        key_ = *id;
        SqliteDb* db = nullptr;
        status_ = Database(db);
        if (status_ != ERROR_SUCCESS) return;
        db_ = db;
        if (kind == SqliteTransaction::Kind::Write) {
            if (g_readCache) g_readCache->values.clear();
            counts_ = g_counts;
            if (counts_) counts_->begun.fetch_add(1);
        }
        transaction_.emplace(*db_, kind);
        status_ = CodeFor(transaction_->status());
        if (status_ != ERROR_SUCCESS) return;
        if (key_ == kCurrentConfigId) {
            status_ = CurrentConfigKey(*db_, kind == SqliteTransaction::Kind::Write, key_);
            if (status_ != ERROR_SUCCESS) return;
        }
        SqliteStatement exists(*db_, "SELECT 1 FROM reg_keys WHERE id = ?1");
        int rc = exists.Bind(1, key_).Step();
        if (rc == SQLITE_DONE)
            status_ = ERROR_KEY_DELETED;
        else if (rc != SQLITE_ROW)
            status_ = CodeFor(rc);
    }

    ~Session() {
        transaction_.reset();
        if (counts_) counts_->ended.fetch_add(1);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    LONG status() const { return status_; }
    int64_t key() const { return key_; }
    SqliteDb& db() const { return *db_; }
    SqliteDb& database() const { return *db_; }

    // Commits the work when `rc` is success; otherwise it is rolled back.
    LONG Finish(LONG rc) {
        if (rc != ERROR_SUCCESS) return rc;
        return CodeFor(transaction_->Commit());
    }

private:
    std::unique_lock<std::mutex> lock_;
    LONG status_ = ERROR_SUCCESS;
    int64_t key_ = 0;
    SqliteDb* db_ = nullptr;
    WriteCounts* counts_ = nullptr;  // a writer's, counted when it began
    std::optional<SqliteTransaction> transaction_;
};

// Copies a name with its NUL into a caller's buffer of *size characters;
// on success *size is the length without the NUL.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD size) {
    if (name.size() + 1 > *size) {
        *size = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Copies value data into a caller's buffer following the query rules: no
// buffer asks for the size, a short buffer gets ERROR_MORE_DATA and the size.
LONG CopyData(DWORD type, const void* bytes, size_t size, LPBYTE data, LPDWORD dataSize) {
    if (!data) {
        if (dataSize) *dataSize = static_cast<DWORD>(size);
        return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
        *dataSize = static_cast<DWORD>(size);
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(data, bytes, size);
    // A text stored without its NUL still reads as a terminated string when
    // the buffer has room; the reported size stays the stored one.
    if (IsText(type) && size < *dataSize && (size == 0 || data[size - 1] != '\0'))
        data[size] = '\0';
    *dataSize = static_cast<DWORD>(size);
    return ERROR_SUCCESS;
}

// Steps an enumeration query (?1 the key, ?2 the index) to its one row.
LONG StepToItem(SqliteStatement& query, int64_t key, DWORD index) {
    int rc = query.Bind(1, key).Bind(2, int64_t{index}).Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    return rc == SQLITE_ROW ? ERROR_SUCCESS : CodeFor(rc);
}

// Reads value `valueName` of key `id` inside the session's transaction.
LONG QueryValue(const Session& session, int64_t id, LPCSTR valueName, LPDWORD type, LPBYTE data,
                LPDWORD dataSize) {
    SqliteStatement query(session.db(),
                          "SELECT type, data FROM reg_values WHERE key = ?1 AND fold = ?2");
    int rc = query.Bind(1, id).Bind(2, Fold(valueName ? valueName : "")).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return CodeFor(rc);
    auto stored = static_cast<DWORD>(query.Int(0));
    if (type) *type = stored;
    const void* bytes = query.BlobData(1);
    return CopyData(stored, bytes, query.BlobSize(1), data, dataSize);
}

LONG OpenOrCreate(HKEY key, LPCSTR subKey, bool create, PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::string_view> parts;
    if (LONG rc = SplitPath(subKey, parts)) return rc;
    Session session(key, create ? SqliteTransaction::Kind::Write : SqliteTransaction::Kind::Read);
    if (session.status() != ERROR_SUCCESS) return session.status();
    int64_t id = session.key();
    bool created = false;
    LONG rc = session.Finish(Walk(session.db(), id, parts, create, created));
    if (rc != ERROR_SUCCESS) return rc;
    *result = NewHandle(id);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD /*reserved*/, LPSTR /*keyClass*/,
                     DWORD /*options*/, REGSAM /*access*/, LPSECURITY_ATTRIBUTES /*attributes*/,
                     PHKEY result, LPDWORD disposition) {
    return OpenOrCreate(key, subKey, true, result, disposition);
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM /*access*/, PHKEY result) {
    return OpenOrCreate(key, subKey, false, result, nullptr);
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    if (LONG rc = CheckValueName(valueName)) return rc;
    Session session(key, SqliteTransaction::Kind::Read);
    if (session.status() != ERROR_SUCCESS) return session.status();
    return QueryValue(session, session.key(), valueName, type, data, dataSize);
}

namespace {

// The process's kept answers, valid for the session's database as it is in
// the session's read transaction.
// `writes` are the counts taken before the session's transaction began
// (none when no count could be had, or a write was under way).
ReadCache& ReadCacheFor(const Session& session, std::optional<uint64_t> writes) {
    if (!g_readCache) g_readCache = new ReadCache;
    ReadCache& cache = *g_readCache;
    unsigned version = 0;
    if (sqlite3_file_control(session.db().handle(), "main", SQLITE_FCNTL_DATA_VERSION, &version) !=
            SQLITE_OK ||
        cache.db != &session.db() || cache.version != version ||
        cache.values.size() >= kMaxCachedValues) {
        cache.values.clear();
        cache.db = &session.db();
        cache.version = version;
        cache.counted = false;
    }
    // Every write counted before the transaction began has ended, so the
    // answers (all of this data version) hold until the next write begins.
    cache.counted = writes.has_value();
    if (writes) cache.writes = *writes;
    return cache;
}

// The writes counted when no write is under way; none otherwise.
std::optional<uint64_t> QuietWrites() {
    if (!g_counts) return std::nullopt;
    const uint64_t begun = g_counts->begun.load();
    const uint64_t ended = g_counts->ended.load();
    if (begun != ended) return std::nullopt;
    return begun;
}

// Reads the value at `parts` below the session's key: its type and bytes, or
// ERROR_FILE_NOT_FOUND, or another failure.
LONG ReadValueAt(const Session& session, const std::vector<std::string_view>& parts,
                 LPCSTR valueName, CachedValue& value) {
    int64_t id = session.key();
    bool created = false;
    if (LONG rc = Walk(session.db(), id, parts, false, created)) return rc;
    SqliteStatement query(session.db(),
                          "SELECT type, data, name FROM reg_values WHERE key = ?1 AND fold = ?2");
    int rc = query.Bind(1, id).Bind(2, Fold(valueName ? valueName : "")).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return CodeFor(rc);
    value.type = static_cast<DWORD>(query.Int(0));
    const auto* bytes = static_cast<const char*>(query.BlobData(1));
    value.bytes.assign(bytes ? bytes : "", bytes ? query.BlobSize(1) : 0);
    value.name = query.Text(2);
    return ERROR_SUCCESS;
}

}  // namespace

// The key's walk and the value's read share one read transaction.
LONG RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR valueName, DWORD flags, LPDWORD type, LPVOID data,
                  LPDWORD dataSize) {
    const bool exactName = (flags & kRrfExactName) != 0;
    if ((flags & ~kRrfExactName) != (RRF_RT_ANY | RRF_NOEXPAND) || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    if (LONG rc = CheckValueName(valueName)) return rc;
    std::vector<std::string_view> parts;
    if (LONG rc = SplitPath(subKey, parts)) return rc;
    std::optional<int64_t> keyId;
    std::optional<uint64_t> writes;
    std::string place;
    {
        // Without a transaction while no process has written since the
        // answers were read.
        std::lock_guard<std::mutex> hold(g_mutex);
        keyId = KeyIdOf(key);
        if (!keyId) return ERROR_INVALID_HANDLE;
        place = std::to_string(*keyId);
        for (std::string_view part : parts) (place += '\\') += Fold(part);
        (place += '\0') += Fold(valueName ? valueName : "");
        SqliteDb* db = nullptr;
        if (Database(db) == ERROR_SUCCESS) {
            writes = QuietWrites();
            ReadCache* cache = g_readCache;
            if (writes && cache && cache->db == db && cache->counted && cache->writes == *writes) {
                auto at = cache->values.find(place);
                if (at != cache->values.end()) {
                    const CachedValue& value = at->second;
                    if (value.rc != ERROR_SUCCESS) return value.rc;
                    if (exactName && value.name != valueName) return ERROR_FILE_NOT_FOUND;
                    if (type) *type = value.type;
                    return CopyData(value.type, value.bytes.data(), value.bytes.size(),
                                    static_cast<LPBYTE>(data), dataSize);
                }
            }
        }
    }
    Session session(key, SqliteTransaction::Kind::Read);
    if (session.status() != ERROR_SUCCESS) return session.status();
    ReadCache& cache = ReadCacheFor(session, writes);
    auto at = cache.values.find(place);
    if (at == cache.values.end()) {
        CachedValue value;
        value.rc = ReadValueAt(session, parts, valueName, value);
        if (value.rc != ERROR_SUCCESS && value.rc != ERROR_FILE_NOT_FOUND) return value.rc;
        if (value.bytes.size() > kMaxCachedBytes) {
            if (exactName && value.name != valueName) return ERROR_FILE_NOT_FOUND;
            if (type) *type = value.type;
            return CopyData(value.type, value.bytes.data(), value.bytes.size(),
                            static_cast<LPBYTE>(data), dataSize);
        }
        at = cache.values.emplace(std::move(place), std::move(value)).first;
    }
    const CachedValue& value = at->second;
    if (value.rc != ERROR_SUCCESS) return value.rc;
    if (exactName && value.name != valueName) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value.type;
    return CopyData(value.type, value.bytes.data(), value.bytes.size(), static_cast<LPBYTE>(data),
                    dataSize);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD dataSize) {
    if (!data && dataSize) return ERROR_INVALID_PARAMETER;
    if (LONG rc = CheckValueName(valueName)) return rc;
    Session session(key, SqliteTransaction::Kind::Write);
    if (session.status() != ERROR_SUCCESS) return session.status();
    std::string_view name = valueName ? valueName : "";
    // An existing value keeps its name's letter case and its place in the
    // enumeration order.
    SqliteStatement set(session.db(),
                        "INSERT INTO reg_values(key, name, fold, type, data) "
                        "VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(key, fold) "
                        "DO UPDATE SET type = excluded.type, data = excluded.data");
    set.Bind(1, session.key()).Bind(2, name).Bind(3, Fold(name)).Bind(4, int64_t{type});
    set.BindBlob(5, data, dataSize);
    LONG rc = CodeFor(set.Step());
    if (rc == ERROR_SUCCESS) rc = Touch(session.db(), session.key());
    return session.Finish(rc);
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
    if (LONG rc = CheckValueName(valueName)) return rc;
    Session session(key, SqliteTransaction::Kind::Write);
    if (session.status() != ERROR_SUCCESS) return session.status();
    SqliteStatement remove(session.db(), "DELETE FROM reg_values WHERE key = ?1 AND fold = ?2");
    LONG rc =
        CodeFor(remove.Bind(1, session.key()).Bind(2, Fold(valueName ? valueName : "")).Step());
    if (rc == ERROR_SUCCESS && sqlite3_changes(session.db().handle()) == 0)
        rc = ERROR_FILE_NOT_FOUND;
    if (rc == ERROR_SUCCESS) rc = Touch(session.db(), session.key());
    return session.Finish(rc);
}

// Deletes a key without subkeys, with its values. An empty subkey deletes
// the key of the handle itself; the predefined roots cannot be deleted.
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    std::vector<std::string_view> parts;
    if (LONG rc = SplitPath(subKey, parts)) return rc;
    Session session(key, SqliteTransaction::Kind::Write);
    if (session.status() != ERROR_SUCCESS) return session.status();
    int64_t id = session.key();
    bool created = false;
    if (LONG rc = Walk(session.db(), id, parts, false, created)) return rc;
    if (id <= kRootCount) return ERROR_ACCESS_DENIED;
    if (parts.empty() && reinterpret_cast<uintptr_t>(key) == kCurrentConfigHandle)
        return ERROR_ACCESS_DENIED;
    SqliteStatement children(session.db(), "SELECT 1 FROM reg_keys WHERE parent = ?1 LIMIT 1");
    int step = children.Bind(1, id).Step();
    if (step == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (step != SQLITE_DONE) return CodeFor(step);
    SqliteStatement values(session.db(), "DELETE FROM reg_values WHERE key = ?1");
    LONG rc = CodeFor(values.Bind(1, id).Step());
    if (rc == ERROR_SUCCESS) {
        SqliteStatement self(session.db(), "DELETE FROM reg_keys WHERE id = ?1");
        rc = CodeFor(self.Bind(1, id).Step());
    }
    return session.Finish(rc);
}

// Subkeys in the order of their names without regard to case. A short name
// buffer gives ERROR_MORE_DATA with the size it needs (NUL included).
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR keyClass, LPDWORD classSize, FILETIME* lastWriteTime) {
    if (!name || !nameSize || reserved || (keyClass && !classSize)) return ERROR_INVALID_PARAMETER;
    Session session(key, SqliteTransaction::Kind::Read);
    if (session.status() != ERROR_SUCCESS) return session.status();
    SqliteStatement enumerate(session.db(),
                              "SELECT name, written FROM reg_keys WHERE parent = ?1 "
                              "ORDER BY fold LIMIT 1 OFFSET ?2");
    if (LONG rc = StepToItem(enumerate, session.key(), index)) return rc;
    if (LONG copied = CopyName(enumerate.Text(0), name, nameSize)) return copied;
    // Keys carry no class.
    if (keyClass && *classSize) keyClass[0] = '\0';
    if (classSize) *classSize = 0;
    if (lastWriteTime) {
        auto written = static_cast<uint64_t>(enumerate.Int(1));
        lastWriteTime->dwLowDateTime = static_cast<DWORD>(written);
        lastWriteTime->dwHighDateTime = static_cast<DWORD>(written >> 32);
    }
    return ERROR_SUCCESS;
}

// Values in the order they were first set. A short name buffer gives
// ERROR_MORE_DATA and nothing else; a short data buffer gives the name, the
// type, ERROR_MORE_DATA and the data size.
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (!valueName || !valueNameSize || reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    Session session(key, SqliteTransaction::Kind::Read);
    if (session.status() != ERROR_SUCCESS) return session.status();
    SqliteStatement enumerate(session.db(),
                              "SELECT name, type, data FROM reg_values WHERE key = ?1 "
                              "ORDER BY id LIMIT 1 OFFSET ?2");
    if (LONG rc = StepToItem(enumerate, session.key(), index)) return rc;
    if (LONG copied = CopyName(enumerate.Text(0), valueName, valueNameSize)) return copied;
    auto stored = static_cast<DWORD>(enumerate.Int(1));
    if (type) *type = stored;
    const void* bytes = enumerate.BlobData(2);
    return CopyData(stored, bytes, enumerate.BlobSize(2), data, dataSize);
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                      LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                      LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptor,
                      FILETIME* lastWriteTime) {
    if (reserved || (keyClass && !classSize)) return ERROR_INVALID_PARAMETER;
    Session session(key, SqliteTransaction::Kind::Read);
    if (session.status() != ERROR_SUCCESS) return session.status();
    SqliteStatement keys(session.db(),
                         "SELECT COUNT(*), IFNULL(MAX(LENGTH(CAST(name AS BLOB))), 0) "
                         "FROM reg_keys WHERE parent = ?1 AND id <> ?1");
    int rc = keys.Bind(1, session.key()).Step();
    if (rc != SQLITE_ROW) return CodeFor(rc);
    SqliteStatement vals(session.db(),
                         "SELECT COUNT(*), IFNULL(MAX(LENGTH(CAST(name AS BLOB))), 0), "
                         "IFNULL(MAX(LENGTH(data)), 0) FROM reg_values WHERE key = ?1");
    rc = vals.Bind(1, session.key()).Step();
    if (rc != SQLITE_ROW) return CodeFor(rc);
    SqliteStatement self(session.db(), "SELECT written FROM reg_keys WHERE id = ?1");
    rc = self.Bind(1, session.key()).Step();
    if (rc != SQLITE_ROW) return CodeFor(rc);

    // Keys carry no class.
    if (keyClass && *classSize) keyClass[0] = '\0';
    if (classSize) *classSize = 0;
    if (maxClassLen) *maxClassLen = 0;
    if (subKeys) *subKeys = static_cast<DWORD>(keys.Int(0));
    if (maxSubKeyLen) *maxSubKeyLen = static_cast<DWORD>(keys.Int(1));
    if (values) *values = static_cast<DWORD>(vals.Int(0));
    if (maxValueNameLen) *maxValueNameLen = static_cast<DWORD>(vals.Int(1));
    if (maxValueLen) *maxValueLen = static_cast<DWORD>(vals.Int(2));
    if (securityDescriptor) *securityDescriptor = 0;
    if (lastWriteTime) {
        auto written = static_cast<uint64_t>(self.Int(0));
        lastWriteTime->dwLowDateTime = static_cast<DWORD>(written);
        lastWriteTime->dwHighDateTime = static_cast<DWORD>(written >> 32);
    }
    return ERROR_SUCCESS;
}

// Every change is committed when its call returns; flushing also moves the
// log into the database file and syncs it.
LONG RegFlushKey(HKEY key) {
    Session session(key, SqliteTransaction::Kind::Read);
    if (session.status() != ERROR_SUCCESS) return session.status();
    if (LONG rc = session.Finish(ERROR_SUCCESS)) return rc;
    // Busy means another connection is checkpointing at the same moment.
    int rc = session.database().Checkpoint();
    return rc == SQLITE_BUSY ? ERROR_SUCCESS : CodeFor(rc);
}

LONG RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto value = reinterpret_cast<uintptr_t>(key);
    if (value >= kFirstRootHandle && value < kFirstRootHandle + kRootCount) return ERROR_SUCCESS;
    if (value == kCurrentConfigHandle) return ERROR_SUCCESS;
    return Handles().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
