// Test support of the modem databases: records built column by column, settings, error checks.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexException.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/TempDir.h"

namespace tavro::testing {

// `text` cut or blank-padded to `width` on the right (left-justified).
inline std::string Left(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}
inline std::string Right(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}
inline std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}
inline std::string Dot(const std::string& text) { return text.empty() ? "." : text; }

// A line record as the file holds it, column by column.
struct LineRow {
    std::string name;
    uint32_t pid = 1;
    int state = 0, allowed = 0, current = 0, links = 0, maxLinks = 0, speed = 0;
    std::string node, device, type, commbox, ltn, rtn, dtn, description;
};

inline std::string LineRecord(const LineRow& r) {
    return Left(r.name, 16) + " " + Hex(r.pid, 8) + " " + std::to_string(r.state) + " " +
           std::to_string(r.allowed) + " " + std::to_string(r.current) + " " +
           Right(std::to_string(r.links), 3) + " " + Right(std::to_string(r.maxLinks), 3) + " " +
           Right(std::to_string(r.speed), 8) + " " + Left(Dot(r.node), 32) + " " +
           Left(Dot(r.device), 16) + " " + Left(Dot(r.type), 16) + " " + Left(Dot(r.commbox), 8) +
           " " + Left(Dot(r.ltn), 40) + " " + Left(Dot(r.rtn), 40) + " " + Left(Dot(r.dtn), 40) +
           " " + Left(Dot(r.description), 64) + "\n";
}
inline std::string RemovedLine() { return std::string(312, ' ') + "\n"; }

// A server record, column by column.
struct ServerRow {
    std::string name, commbox = "box1";
    int state = 1;
    uint32_t serverPid = 1, daemonPid = 0, srcRef = 0, dstRef = 0;
};

inline std::string ServerRecord(const ServerRow& r) {
    return Left(r.name, 16) + " " + Left(r.commbox, 8) + " " + std::to_string(r.state) + " " +
           Hex(r.serverPid, 8) + " " + Hex(r.daemonPid, 8) + " " + Hex(r.srcRef, 4) + " " +
           Hex(r.dstRef, 4) + "\n";
}
inline std::string FreeServer() { return std::string(55, ' ') + "\n"; }

// An error argument that holds a number (four bytes, least significant first).
inline std::string IntArg(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    return std::string{static_cast<char>(u & 0xff), static_cast<char>((u >> 8) & 0xff),
                       static_cast<char>((u >> 16) & 0xff), static_cast<char>(u >> 24)};
}

// The current error: code, location and the arguments given (others empty).
struct Error {
    Error(int c = 0, std::string where = {}, std::vector<std::string> given = {})
        : code(c), location(std::move(where)), args(std::move(given)) {}
    int code;
    std::string location;
    std::vector<std::string> args;
};

inline void ExpectError(const JexException& e, const Error& want, const std::string& context) {
    EXPECT_EQ(e.Code(), want.code) << context;
    const auto text = [&](int i) {
        const JexBuffer& b = e.Args()[i];
        return std::string(b.Data() ? b.Data() : "", static_cast<size_t>(b.Length()));
    };
    EXPECT_EQ(text(0), want.location) << context;
    for (int i = 1; i < JexExcArgs::kCount; ++i) {
        const std::string expected =
            static_cast<size_t>(i) <= want.args.size() ? want.args[static_cast<size_t>(i - 1)] : "";
        EXPECT_EQ(text(i), expected) << context << " argument " << i;
    }
}

// A temporary directory whose database files the settings name.
class ModemDbFiles {
public:
    ModemDbFiles() {
        lines_ = dir_.Path() / "lines.dat";
        servers_ = dir_.Path() / "servers.dat";
        EXPECT_TRUE(CreateSettingsKeys());
        EXPECT_TRUE(WriteText(JexConfig::kGlobalParameters, "File.Modem.VLDB", lines_.string()));
        EXPECT_TRUE(WriteText(JexConfig::kGlobalParameters, "File.Modem.VSDB", servers_.string()));
    }
    // The settings go with the files, so that a later test in the same
    // process finds neither.
    ~ModemDbFiles() {
        EXPECT_TRUE(DeleteSetting(JexConfig::kGlobalParameters, "File.Modem.VLDB"));
        EXPECT_TRUE(DeleteSetting(JexConfig::kGlobalParameters, "File.Modem.VSDB"));
    }
    ModemDbFiles(const ModemDbFiles&) = delete;
    ModemDbFiles& operator=(const ModemDbFiles&) = delete;
    const std::filesystem::path& Lines() const { return lines_; }
    const std::filesystem::path& Servers() const { return servers_; }
    const std::filesystem::path& Dir() const { return dir_.Path(); }

private:
    TempDir dir_{"modemdb"};
    std::filesystem::path lines_, servers_;
};

// What FileState says of a file that does not exist; PutFile removes it.
inline const std::string kMissing = "<missing>";

// Writes the file with the mode the databases give theirs (0660), or
// removes it for kMissing.
inline void PutFile(const std::filesystem::path& path, const std::string& bytes) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    if (bytes == kMissing) return;
    WriteFile(path, bytes);
    chmod(path.c_str(), 0660);
}
// The file's bytes, or kMissing.
inline std::string FileState(const std::filesystem::path& path) {
    return std::filesystem::exists(path) ? ReadFile(path) : kMissing;
}

// The fixture of one modem database's tests over its temporary file: the
// lines' (ModemDbFiles::Lines) or the servers' (ModemDbFiles::Servers).
template <const std::filesystem::path& (ModemDbFiles::*File)() const>
class ModemDbFileTest : public ::testing::Test {
protected:
    void Put(const std::string& bytes) { PutFile((files_.*File)(), bytes); }
    std::string Bytes() { return FileState((files_.*File)()); }
    std::string Path() { return (files_.*File)().string(); }

    ModemDbFiles files_;
};

// The records of `rows` one after the other, as the file holds them.
inline std::string Records(const std::vector<LineRow>& rows) {
    std::string out;
    for (const LineRow& r : rows) out += LineRecord(r);
    return out;
}
inline std::string Records(const std::vector<ServerRow>& rows) {
    std::string out;
    for (const ServerRow& r : rows) out += ServerRecord(r);
    return out;
}

// One row of a database's access-mode table: an operation tried on a fresh
// object that `reach` (if any) has brought into a mode.
template <class Db>
struct AccessModeCase {
    const char* what;
    std::function<int(Db&)> reach;
    std::function<int(Db&)> op;
    const char* location;  // of WRONGMODE, or null when the operation is allowed
};

// Runs each case on a fresh object: a refused operation gives WRONGMODE at
// its location and leaves the mode as it was, an allowed one does not give
// WRONGMODE. `release` ends what a case leaves held (a record, a reservation).
template <class Db>
void ExpectAccessModes(const std::vector<AccessModeCase<Db>>& cases,
                       const std::function<void(Db&)>& release) {
    for (const AccessModeCase<Db>& t : cases) {
        Db db;
        if (t.reach) t.reach(db);
        const int before = db.AccessMode();
        const int code = t.op(db);
        if (t.location) {
            EXPECT_EQ(code, Db::WRONGMODE) << t.what;
            ExpectError(db, {Db::WRONGMODE, t.location}, t.what);
            EXPECT_EQ(db.AccessMode(), before) << t.what;
        } else {
            EXPECT_NE(code, Db::WRONGMODE) << t.what;
        }
        release(db);
    }
}

// One of the modem's fixed bounds set for the life of the object (by a
// setter that returns the bound it replaced), then put back: the tests
// that do not test a bound wait out a short one.
class ScopedBound {
public:
    ScopedBound(int (*set)(int), int value) : set_(set), old_(set(value)) {}
    ~ScopedBound() { set_(old_); }
    ScopedBound(const ScopedBound&) = delete;
    ScopedBound& operator=(const ScopedBound&) = delete;

private:
    int (*set_)(int);
    int old_;
};

// The permission bits of a file.
inline unsigned PermissionBits(const std::filesystem::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777u : 0u;
}

}  // namespace tavro::testing
