// A small wrapper over an SQLite database file shared by several processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace platform {

// One connection to a database file that other processes use at the same
// time: write-ahead log, a busy timeout, and writers that take the write lock
// when their transaction begins. Not thread-safe: the owner serialises calls.
class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // Opens (creating it when missing) `file`, for reading only when it
    // cannot be written. Takes no lock: the caller checks in a read
    // transaction whether the file still needs its schema. Returns an SQLite
    // result code; on failure the object stays closed.
    int Open(const std::filesystem::path& file, int busyTimeoutMs);
    // Whether the connection can only read.
    bool ReadOnly() const;
    // Switches a new file to write-ahead logging and runs `schema` in an
    // immediate transaction that `fill` may add to. An SQLite result code.
    int SetUp(const char* schema, int (*fill)(SqliteDb&));
    bool IsOpen() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }

    // Drops the connection without closing it. A child process must not
    // close or use a connection it inherited through fork(): closing would
    // disturb the parent's locks on the file.
    void Abandon() { db_ = nullptr; }

    // Runs statements without results.
    int Exec(const char* sql);
    // Runs one statement without results, prepared once per connection.
    int Run(const char* sql);

    // Writes the log into the database file and syncs it.
    int Checkpoint();

private:
    friend class SqliteStatement;
    // A statement prepared once and reused while the connection lives.
    struct Prepared {
        sqlite3_stmt* stmt = nullptr;
        bool inUse = false;
    };

    void Close();
    // The connection's prepared statement of `sql`, marked in use; null when
    // it is in use already (the caller then prepares one of its own) or
    // cannot be prepared (*rc holds the error).
    Prepared* Borrow(const char* sql, int* rc);

    sqlite3* db_ = nullptr;
    int busyTimeoutMs_ = 0;
    std::unordered_map<std::string, Prepared> prepared_;
};

// A prepared statement. Binding errors are kept and returned by Step().
// Made from a SqliteDb, it reuses the connection's statement of the same text
// (reset and unbound again when this object ends), so SQL is parsed once per
// connection rather than once per call.
class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const char* sql);
    SqliteStatement(SqliteDb& db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Parameters count from 1.
    SqliteStatement& Bind(int index, int64_t value);
    SqliteStatement& Bind(int index, std::string_view text);
    SqliteStatement& BindBlob(int index, const void* data, size_t size);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();

    // Columns count from 0.
    int64_t Int(int column) const;
    std::string Text(int column) const;
    const void* BlobData(int column) const;
    size_t BlobSize(int column) const;

private:
    void Keep(int rc);

    sqlite3_stmt* stmt_ = nullptr;
    SqliteDb::Prepared* borrowed_ = nullptr;
    int status_;
};

// A transaction that rolls back unless committed. A writer begins with the
// write lock held (IMMEDIATE), so it never fails half-way on a lock upgrade.
class SqliteTransaction {
public:
    enum class Kind { Read, Write };

    SqliteTransaction(SqliteDb& db, Kind kind);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;

    // SQLITE_OK when the transaction began.
    int status() const { return status_; }
    int Commit();

private:
    SqliteDb& db_;
    int status_;
    bool open_;
};

}  // namespace platform
