// A small wrapper over an SQLite database file shared by several processes.
#include "platform/registry/SqliteDb.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace platform {

namespace {

// Switches the file to write-ahead logging. Two processes opening a fresh
// file may both try the switch; the loser is told SQLITE_BUSY and retries.
int UseWriteAheadLog(sqlite3* db, int busyTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyTimeoutMs);
    for (;;) {
        SqliteStatement pragma(db, "PRAGMA journal_mode=WAL");
        int rc = pragma.Step();
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) return SQLITE_OK;
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) return rc;
        if (std::chrono::steady_clock::now() >= deadline) return rc;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

SqliteDb::~SqliteDb() { Close(); }

void SqliteDb::Close() {
    for (auto& [sql, prepared] : prepared_) sqlite3_finalize(prepared.stmt);
    prepared_.clear();
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

SqliteDb::Prepared* SqliteDb::Borrow(const char* sql, int* rc) {
    *rc = SQLITE_OK;
    auto [at, added] = prepared_.try_emplace(sql);
    Prepared& prepared = at->second;
    if (prepared.inUse) return nullptr;
    if (added)
        *rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &prepared.stmt, nullptr);
    if (*rc != SQLITE_OK || !prepared.stmt) {
        sqlite3_finalize(prepared.stmt);
        prepared_.erase(at);
        if (*rc == SQLITE_OK) *rc = SQLITE_MISUSE;
        return nullptr;
    }
    prepared.inUse = true;
    return &prepared;
}

int SqliteDb::Open(const std::filesystem::path& file, int busyTimeoutMs) {
    Close();
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(file.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_CANTOPEN || rc == SQLITE_PERM || rc == SQLITE_READONLY) {
        sqlite3_close_v2(db);
        db = nullptr;
        rc =
            sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return rc;
    }
    db_ = db;
    busyTimeoutMs_ = busyTimeoutMs;
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    // With a write-ahead log, NORMAL keeps every commit across a crash of
    // the process; only a power loss may lose the last ones.
    if (!ReadOnly()) Exec("PRAGMA synchronous=NORMAL");
    return SQLITE_OK;
}

bool SqliteDb::ReadOnly() const { return db_ && sqlite3_db_readonly(db_, "main") == 1; }

int SqliteDb::SetUp(const char* schema, int (*fill)(SqliteDb&)) {
    int rc = UseWriteAheadLog(db_, busyTimeoutMs_);
    if (rc != SQLITE_OK) return rc;
    SqliteTransaction transaction(*this, SqliteTransaction::Kind::Write);
    rc = transaction.status();
    if (rc == SQLITE_OK) rc = Exec(schema);
    if (rc == SQLITE_OK) rc = fill(*this);
    if (rc == SQLITE_OK) rc = transaction.Commit();
    return rc;
}

int SqliteDb::Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

int SqliteDb::Run(const char* sql) {
    SqliteStatement statement(*this, sql);
    const int rc = statement.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

int SqliteDb::Checkpoint() {
    return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql)
    : status_(sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr)) {}

SqliteStatement::SqliteStatement(SqliteDb& db, const char* sql) : status_(SQLITE_OK) {
    borrowed_ = db.Borrow(sql, &status_);
    if (borrowed_)
        stmt_ = borrowed_->stmt;
    else if (status_ == SQLITE_OK)
        status_ = sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr);
}

SqliteStatement::~SqliteStatement() {
    if (!borrowed_) {
        sqlite3_finalize(stmt_);
        return;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    borrowed_->inUse = false;
}

void SqliteStatement::Keep(int rc) {
    if (status_ == SQLITE_OK) status_ = rc;
}

SqliteStatement& SqliteStatement::Bind(int index, int64_t value) {
    if (status_ == SQLITE_OK) Keep(sqlite3_bind_int64(stmt_, index, value));
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::string_view text) {
    // A null pointer would bind SQL NULL; an empty name is an empty text.
    if (status_ == SQLITE_OK)
        Keep(sqlite3_bind_text64(stmt_, index, text.empty() ? "" : text.data(), text.size(),
                                 SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
}

SqliteStatement& SqliteStatement::BindBlob(int index, const void* data, size_t size) {
    if (status_ != SQLITE_OK) return *this;
    if (size == 0) {
        Keep(sqlite3_bind_zeroblob(stmt_, index, 0));
        return *this;
    }
    Keep(sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT));
    return *this;
}

int SqliteStatement::Step() {
    if (status_ != SQLITE_OK) return status_;
    return sqlite3_step(stmt_);
}

int64_t SqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string SqliteStatement::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    if (!text) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
}

const void* SqliteStatement::BlobData(int column) const {
    return sqlite3_column_blob(stmt_, column);
}

size_t SqliteStatement::BlobSize(int column) const {
    return static_cast<size_t>(sqlite3_column_bytes(stmt_, column));
}

SqliteTransaction::SqliteTransaction(SqliteDb& db, Kind kind)
    : db_(db),
      status_(db.Run(kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN")),
      open_(status_ == SQLITE_OK) {}

SqliteTransaction::~SqliteTransaction() {
    if (open_) db_.Run("ROLLBACK");
}

int SqliteTransaction::Commit() {
    int rc = db_.Run("COMMIT");
    if (rc == SQLITE_OK) open_ = false;
    return rc;
}

}  // namespace platform
