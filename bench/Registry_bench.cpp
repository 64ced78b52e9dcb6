// Benchmarks of registry reads (one value, a whole look-up, a settings look-up) beside a prepared
// SQLite query of the same row of the same database.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/PeerRatio.h"
#include "jexlink/core/JexConfig.h"
#include "platform/PlatformState.h"
#include "platform/winreg.h"
#include "testing/support/JexConfigTestSupport.h"

namespace {

using tavro::testing::SettingsPlace;

constexpr const char* kName = "Local.Node";
constexpr const char* kText = "bench-node";

// A platform state of its own holding one setting.
struct Environment {
    std::string dir;
    bool ok = false;
    Environment() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "registry-bench-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        if (!made) std::abort();
        dir = made;
        mkdir((dir + "/state").c_str(), 0700);
        setenv(platform::kStateDirVar, (dir + "/state").c_str(), 1);
        ok = tavro::testing::WriteText(JexConfig::kApplications, kName, kText);
    }
    ~Environment() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Environment& Env() {
    static Environment env;
    return env;
}

// The peer: a connection of its own to the registry's database and one
// statement, prepared once, that reads the setting's row by key and name.
void BM_SqlitePreparedRow(benchmark::State& state) {
    if (!Env().ok) return state.SkipWithError("no registry");
    sqlite3* db = nullptr;
    const std::string file = Env().dir + "/state/registry.db";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK)
        return state.SkipWithError("no database");
    // The key's row id, found once by walking its path.
    sqlite3_int64 key = 0;
    {
        HKEY open = nullptr;
        const auto place = SettingsPlace(JexConfig::kApplications);
        RegOpenKeyExA(place.root, place.path.c_str(), 0, KEY_READ, &open);
        sqlite3_stmt* find = nullptr;
        sqlite3_prepare_v2(db, "SELECT key FROM reg_values WHERE fold = 'LOCAL.NODE'", -1, &find,
                           nullptr);
        if (sqlite3_step(find) == SQLITE_ROW) key = sqlite3_column_int64(find, 0);
        sqlite3_finalize(find);
        RegCloseKey(open);
    }
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, data FROM reg_values WHERE key = ?1 AND fold = ?2", -1,
                       &query, nullptr);
    char data[64];
    for (auto _ : state) {
        sqlite3_bind_int64(query, 1, key);
        sqlite3_bind_text(query, 2, "LOCAL.NODE", -1, SQLITE_STATIC);
        if (sqlite3_step(query) != SQLITE_ROW) {
            state.SkipWithError("no row");
            break;
        }
        const int size = sqlite3_column_bytes(query, 1);
        std::memcpy(data, sqlite3_column_blob(query, 1), static_cast<size_t>(size));
        benchmark::DoNotOptimize(data);
        sqlite3_reset(query);
    }
    sqlite3_finalize(query);
    sqlite3_close_v2(db);
}

// One value read from a key held open.
void BM_RegQueryValue(benchmark::State& state) {
    if (!Env().ok) return state.SkipWithError("no registry");
    const auto place = SettingsPlace(JexConfig::kApplications);
    HKEY key = nullptr;
    if (RegOpenKeyExA(place.root, place.path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return state.SkipWithError("no key");
    BYTE data[64];
    for (auto _ : state) {
        DWORD type = 0;
        DWORD size = sizeof data;
        if (RegQueryValueExA(key, kName, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            state.SkipWithError("no value");
            break;
        }
        benchmark::DoNotOptimize(data);
    }
    RegCloseKey(key);
}

// A whole look-up: open the key by its path, read the value, close.
void BM_RegOpenQueryClose(benchmark::State& state) {
    if (!Env().ok) return state.SkipWithError("no registry");
    const auto place = SettingsPlace(JexConfig::kApplications);
    BYTE data[64];
    for (auto _ : state) {
        HKEY key = nullptr;
        DWORD type = 0;
        DWORD size = sizeof data;
        if (RegOpenKeyExA(place.root, place.path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS ||
            RegQueryValueExA(key, kName, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            state.SkipWithError("no value");
            break;
        }
        RegCloseKey(key);
        benchmark::DoNotOptimize(data);
    }
}

// A settings look-up as the library makes them, fresh from the registry.
void BM_JexConfigValue(benchmark::State& state) {
    if (!Env().ok) return state.SkipWithError("no registry");
    JexConfig config;
    for (auto _ : state) benchmark::DoNotOptimize(config.Value(kName, "").Text());
}

BENCHMARK(BM_SqlitePreparedRow);
BENCHMARK(BM_RegQueryValue);
BENCHMARK(BM_RegOpenQueryClose);
BENCHMARK(BM_JexConfigValue);

}  // namespace

int main(int argc, char** argv) {
    return tavro::bench::RunWithRatios(argc, argv,
                                       {
                                           {"BM_RegQueryValue", "BM_SqlitePreparedRow"},
                                           {"BM_RegOpenQueryClose", "BM_SqlitePreparedRow"},
                                           {"BM_JexConfigValue", "BM_SqlitePreparedRow"},
                                       });
}
