// DSEnv: the installed tree's environment as the service sees it.
#include "Hostsys/DSEnv.h"

#include <strings.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <vector>

#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "Hostsys/TavroSettings.h"
#include "platform/Program.h"
#include "platform/base/Posix.h"
#include "platform/paths.h"
#include "platform/winbase.h"

namespace fs = std::filesystem;

namespace {

constexpr char kVantrixHome[] = "VANTRIX_HOME";
constexpr char kRunPriority[] = "-RunPriority";
constexpr char kAffinity[] = "-Affinity";
constexpr char kDSPort[] = "-Port";
constexpr char kDSVerbose[] = "-Verbose";

constexpr char kSep = platform::kPathSeparator;
constexpr char kListSep = platform::kPathListSeparator;

// Tree-relative names, written with the platform's separator.
constexpr char kJarsDir[] = "common/jars";
constexpr char kPlovData[] = "common/plov/data";
constexpr char kRuntimeDir[] = "common/Jre";
constexpr char kCommonBin[] = "/common/bin";
constexpr char kDirectorOut[] = "/specific/norba/logs/director_out.txt";
constexpr char kDirectorErr[] = "/specific/norba/logs/director_err.txt";
constexpr char kServiceLog[] = "/specific/tavro/logs/tavroService.log";
constexpr char kSettingsFile[] = "/specific/tavro/config/TAVRO.REG";
constexpr char kZotaLogs[] = "/ZotaSupLogs";
constexpr char kCPUAffinity[] = "tavro.CPUAffinity";

// Longest message text of a library exception that is logged.
constexpr size_t kMaxExceptionText = 1023;

void Log(const std::string& line) { std::clog << line << std::endl; }

// The leading decimal digits of `text`; false when it has none.
bool LeadingNumber(const std::string& text, uint64_t& number) {
    number = 0;
    size_t i = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (number < UINT32_MAX) number = number * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    number = std::min<uint64_t>(number, UINT32_MAX);
    return i > 0;
}

// Names of the entries of `dir` that `keep` accepts, as full paths joined by
// the list separator in sorted order. False when `dir` cannot be read.
template <class Keep>
bool JoinEntries(const fs::path& dir, Keep keep, std::string& out) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return false;
    std::vector<std::string> paths;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (keep(*it)) paths.push_back(it->path().string());
    }
    if (ec) return false;
    std::sort(paths.begin(), paths.end());
    out.clear();
    for (const std::string& p : paths) {
        if (!out.empty()) out += kListSep;
        out += p;
    }
    return true;
}

// Runs `body`; an exception is logged as a failure of `where` and ends it,
// so that the caller returns what it has.
template <class Body>
void Guarded(const char* where, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        std::string what = e.what();
        if (what.size() > kMaxExceptionText) what.resize(kMaxExceptionText);
        Log(std::string("Error: DSEnv.") + where + " failure:" + what);
    } catch (...) {
        Log(std::string("Error: DSEnv.") + where + " failure unhandled exception");
    }
}

// The process variable `name` into `out`; false when it is not set.
bool ReadVariable(const char* name, std::string& out) {
    out.clear();
    std::vector<char> buffer(1024);
    DWORD length = GetEnvironmentVariableA(name, buffer.data(), 1024);
    if (length >= 1024) {
        buffer.resize(length + 1);
        length = GetEnvironmentVariableA(name, buffer.data(), length + 1);
        if (length >= buffer.size()) return false;
    }
    if (length == 0) return false;
    out.assign(buffer.data(), length);
    return true;
}

int CountBits(DWORD_PTR mask) { return std::popcount(static_cast<uint64_t>(mask)); }

// The highest processor among bits 31 to 0 of `mask`; -1 when none.
int HighestProcessor(DWORD_PTR mask) {
    for (int bit = 31; bit >= 0; --bit) {
        if (mask & (DWORD_PTR{1} << bit)) return bit;
    }
    return -1;
}

}  // namespace

const char* const DSEnv::s_pRevisionCpp = TAVRO_REVISION("Hostsys/DSEnv.cpp", "1.12");
const char* const DSEnv::s_pRevisionH = DSENV_H_REVISION;

const char* const DSEnv::pKVantrixHome = kVantrixHome;
const char* const DSEnv::pKRunPriority = kRunPriority;
const char* const DSEnv::pKAffinity = kAffinity;
const char* const DSEnv::pKDSVerbose = kDSVerbose;
const char* const DSEnv::pKDSPort = kDSPort;
const char* const DSEnv::pKDSFudgeFactor = "-FF";
const char* const DSEnv::pKDSWaitSec = "-WS";
const char* const DSEnv::pKDSJVMPath = "-JVMPath";
const char* const DSEnv::pKDSJVM = "-JVM";
const char* const DSEnv::pKDSMaxStartupWait = "-MSW";
const char* const DSEnv::pKDSDoNothing = "-DoNothing";
const char* const DSEnv::pKDSJVMThreadStack = "-JVMThreadStack";
const char* const DSEnv::pKDSJavaProcess = "-JavaProcess";
const char* const DSEnv::pKDSJVMProcess = "-JVMProcess";
const char* const DSEnv::pKDSJavaBatch = "-JavaBatch";
const char* const DSEnv::pKDSPingTimer = "-PingWaitMs";
const char* const DSEnv::pKDSNoAutoStart = "-NoAutoStart";
const char* const DSEnv::pKDSNoExitHand = "-NoExitHand";
const char* const DSEnv::pKNTPrivEnv = "/specific/tavro/data/NTPriv.env";
const char* const DSEnv::pKNTRight = "/specific/tavro/data/NTRight";
const char* const DSEnv::pKTavroServiceHome = "/common/share";

const char* const DSEnv::ppKPrivEnvVars[DSEnv::nKNumPrivArgs] = {kVantrixHome, kRunPriority,
                                                                 kAffinity, kDSPort, kDSVerbose};

DSEnv::DSEnv() = default;
DSEnv::DSEnv(const DSEnv& other) = default;
DSEnv& DSEnv::operator=(const DSEnv& other) = default;
DSEnv::~DSEnv() = default;

// ---- Home, paths and files ----

const std::string& DSEnv::GetVantrixHome(const char* path) {
    if (!m_VantrixHome.empty()) return m_VantrixHome;
    std::string given = path ? path : "";
    std::string lower = platform::AsciiLower(given);
    const std::string marker = std::string(1, kSep) + "vantrix" + kSep;
    size_t found = lower.find(marker);
    if (found != std::string::npos) lower.resize(found + marker.size());
    size_t last = lower.rfind(kSep);
    if (last == std::string::npos) {
        Log("Error: DSEnv.GetVantrixHome running from an invalid location reinstall in the tree "
            "<xxx>\\share");
        return m_VantrixHome;
    }
    m_VantrixHome = given.substr(0, last);
    if (m_VantrixHome.empty()) Log("Error DSEnv::GetVantrixHome m_VantrixHome is empty");
    return m_VantrixHome;
}

// The home's jars, sorted, then the plov data directory; false when the
// tree has no jar.
bool DSEnv::ListJars(std::string& out) {
    fs::path dir = platform::ResolveNoCase(m_VantrixHome, kJarsDir);
    auto isJar = [](const fs::directory_entry& e) {
        std::error_code ec;
        std::string name = platform::AsciiLower(e.path().filename().string());
        return !e.is_directory(ec) && name.size() > 4 && name.ends_with(".jar");
    };
    if (!JoinEntries(dir, isJar, out) || out.empty()) {
        Log("Error: DSEnv.GetVantrixPath No *.jars found in : " + m_VantrixHome + kSep + kJarsDir +
            kSep + "*.jar");
        out.clear();
        return false;
    }
    out += kListSep + m_VantrixHome + kSep + kPlovData;
    return true;
}

const std::string& DSEnv::GetVantrixPath(const char* path) {
    if (!m_VantrixPath.empty()) return m_VantrixPath;
    Guarded("GetVantrixPath", [&] {
        if (GetVantrixHome(path).empty()) return;
        if (PrivValue("VANTRIX_PATH", m_VantrixPath)) return;
        // Without jars the home is forgotten, so that it is worked out
        // again (perhaps from another path) on the next call.
        if (!ListJars(m_VantrixPath)) m_VantrixHome.clear();
    });
    return m_VantrixPath;
}

const std::string& DSEnv::GetVantrixShare(const char* path) {
    if (!m_VantrixShare.empty()) return m_VantrixShare;
    if (GetVantrixHome(path).empty()) return m_VantrixShare;
    if (!PrivValue("VANTRIX_SHARE", m_VantrixShare)) {
        m_VantrixShare = m_VantrixHome + pKTavroServiceHome;
    }
    return m_VantrixShare;
}

// The .jar and .zip entries of the runtime directory, sorted.
bool DSEnv::ListRuntime(std::string& out) {
    fs::path dir = platform::ResolveNoCase(m_VantrixHome, kRuntimeDir);
    auto isArchive = [](const fs::directory_entry& e) {
        std::string name = e.path().filename().string();
        return name.find(".jar") != std::string::npos || name.find(".zip") != std::string::npos;
    };
    if (!JoinEntries(dir, isArchive, out)) {
        Log("Error: DSEnv.GetClassPath bad directory tree :" + m_VantrixHome + kSep + kRuntimeDir +
            kSep + "*");
        out.clear();
        return false;
    }
    return true;
}

const std::string& DSEnv::GetClassPath(const char* path) {
    if (!m_ClassPath.empty()) return m_ClassPath;
    Guarded("GetClassPath", [&] {
        if (GetVantrixHome(path).empty()) return;
        if (PrivValue("CLASSPATH", m_ClassPath)) return;
        if (GetVantrixPath(path).empty()) return;
        ListRuntime(m_ClassPath);
    });
    return m_ClassPath;
}

const std::string& DSEnv::GetZotaHome() {
    if (!m_ZotaHome.empty()) return m_ZotaHome;
    char dir[MAX_PATH + 1];
    UINT length = GetSystemDirectoryA(dir, sizeof dir);
    if (length == 0 || length >= sizeof dir) return m_ZotaHome;
    m_ZotaHome = std::string(dir, length) + kZotaLogs;
    return m_ZotaHome;
}

const std::string& DSEnv::TreeFile(std::string& cache, const char* path, const char* relative) {
    if (!cache.empty()) return cache;
    if (GetVantrixHome(path).empty()) return cache;
    cache = m_VantrixHome + relative;
    return cache;
}

const std::string& DSEnv::GetLogFile(const char* path) {
    return TreeFile(m_LogFile, path, kDirectorOut);
}

const std::string& DSEnv::GetErrFile(const char* path) {
    return TreeFile(m_ErrFile, path, kDirectorErr);
}

const std::string& DSEnv::GetDSLogFile(const char* path) {
    return TreeFile(m_DSLogFile, path, kServiceLog);
}

const std::string& DSEnv::GetJVMDll() {
    if (m_JVMDll.empty()) PrivValue(pKDSJVMPath, m_JVMDll);
    return m_JVMDll;
}

const std::string& DSEnv::GetJVM() {
    if (m_JVM.empty()) PrivValue(pKDSJVM, m_JVM);
    return m_JVM;
}

size_t DSEnv::getJVMThreadStack() {
    std::string value;
    if (!PrivValue(pKDSJVMThreadStack, value)) return 0;
    uint64_t number = 0;
    size_t unit = value.find('M');
    if (unit != std::string::npos) {
        LeadingNumber(value.substr(0, unit), number);
        return static_cast<size_t>(number * 1048576);
    }
    unit = value.find('K');
    if (unit != std::string::npos) {
        LeadingNumber(value.substr(0, unit), number);
        return static_cast<size_t>(number * 1024);
    }
    LeadingNumber(value, number);
    return static_cast<size_t>(number);
}

bool DSEnv::SetPath() {
    if (!m_PathDirs.empty()) return true;
    if (m_VantrixHome.empty()) return false;
    std::string oldPath;
    GetTavroEnv(oldPath, "PATH");
    std::string lowerPath = platform::AsciiLower(oldPath);

    auto add = [this](const std::string& dir) {
        if (!m_PathDirs.empty()) m_PathDirs += kListSep;
        m_PathDirs += dir;
    };
    std::string bin = m_VantrixHome + kCommonBin;
    if (lowerPath.find(platform::AsciiLower(bin)) == std::string::npos) add(bin);
    std::string share = m_VantrixHome + pKTavroServiceHome;
    if (lowerPath.find(share) == std::string::npos) add(share);

    // The runtime's directories lie beside its lib directory. The search
    // starts after the home, whose own path may hold a "/lib".
    std::string hotspot;
    const std::string& classPath = GetClassPath(m_VantrixHome.c_str());
    if (!classPath.empty()) {
        size_t from = classPath.starts_with(m_VantrixHome) ? m_VantrixHome.size() : 0;
        size_t lib = classPath.find(std::string(1, kSep) + "lib", from);
        std::string runtime = lib == std::string::npos ? classPath : classPath.substr(0, lib);
        std::string runtimeBin = runtime + kSep + "bin";
        hotspot = runtimeBin + kSep + "hotspot";
        if (lowerPath.find(platform::AsciiLower(runtimeBin)) == std::string::npos) add(runtimeBin);
        if (lowerPath.find(platform::AsciiLower(hotspot)) == std::string::npos) add(hotspot);
    }

    std::string extra;
    ReadVariable("VANTRIX_SHARE_EXTRA", extra);
    // Empty entries are left out: on this platform an empty PATH entry
    // means the current directory.
    std::string newPath;
    for (const std::string& part : {hotspot + extra, m_PathDirs, oldPath}) {
        if (part.empty()) continue;
        if (!newPath.empty()) newPath += kListSep;
        newPath += part;
    }
    if (!SetEnvironmentVariableA("PATH", newPath.c_str())) {
        Log("Error: DSEnv.SetPath failed: " + CNTSystemError().GetMsgString());
        return false;
    }
    return true;
}

void DSEnv::RenameOutputFiles(const char* path) {
    for (const std::string& file : {GetLogFile(path), GetErrFile(path)}) {
        if (file.empty()) continue;
        std::string backup = file + ".bck";
        std::error_code ignored;
        fs::remove(backup, ignored);
        fs::rename(file, backup, ignored);
    }
}

bool DSEnv::GetTavroEnv(std::string& out, const char* name) {
    out.clear();
    Guarded("GetTavroEnv", [&] {
        if (!ReadVariable(name, out)) Log(std::string("DSEnv::GetTavroEnv") + name + " is not set");
    });
    return !out.empty();
}

// ---- Private environment file and switches ----

// The value of `key` in the private file (the text after the first "=").
// A file opened here only to read is closed again, so that a later
// OpenEnvFile can open it for writing.
bool DSEnv::PrivValue(const char* key, std::string& value) {
    value.clear();
    if (!IsOpen() && m_fileName.empty() && !m_VantrixHome.empty()) {
        File(m_VantrixHome + pKNTPrivEnv);
    }
    bool openedHere = !IsOpen();
    const std::string& text = ReadEnvVar(key);
    bool found = !text.empty();
    size_t equals = text.find('=');
    if (found && equals != std::string::npos) value = text.substr(equals + 1);
    if (openedHere) Close();
    return found;
}

bool DSEnv::OpenEnvFile(bool /*unused*/) {
    if (m_VantrixHome.empty()) {
        std::string module = platform::ModuleFileName();
        if (module.empty()) {
            Log("DSEnv::OpenPrivEnv failed GetModuleFileName");
        } else {
            GetVantrixHome(module.c_str());
        }
    }
    std::string path = m_VantrixHome + pKNTPrivEnv;
    // Without a home the name would point at the root of the file system.
    if (!m_VantrixHome.empty()) {
        File(path);
        if (OpenWrite()) return true;
    }
    Log("Error: DSEnv.openPrivEnv:  failed to open " + path);
    return false;
}

bool DSEnv::IsKnownArg(const char* name) {
    if (!name) return false;
    for (const char* known : ppKPrivEnvVars) {
        if (std::strcmp(name, known) == 0) return true;
    }
    return false;
}

bool DSEnv::getBool(const char* key) {
    OpenEnvFile();
    std::string value;
    if (!PrivValue(key, value)) return false;
    return strcasecmp(value.c_str(), "No") != 0;
}

uint32_t DSEnv::getUnsignedLong(const char* key) {
    std::string value;
    if (!PrivValue(key, value)) return 0;
    uint64_t number = 0;
    LeadingNumber(value, number);
    return static_cast<uint32_t>(number);
}

bool DSEnv::GetConfiguredPort(int32_t& port) {
    std::string value;
    if (!PrivValue(pKDSPort, value)) return false;
    uint64_t number = 0;
    if (!LeadingNumber(value, number) || number == 0 || number > 65535) return false;
    port = static_cast<int32_t>(number);
    return true;
}

bool DSEnv::Interface(int argc, char** argv) {
    if (argc < 4 || !argv) return false;
    if (!OpenEnvFile()) return false;
    enum class Edit { kAdd, kAppend, kDelete };
    Edit edit = Edit::kAdd;
    int first = 2;
    if (std::strcmp(argv[2], "-a") == 0) {
        edit = Edit::kAppend;
        first = 3;
    } else if (std::strcmp(argv[2], "-d") == 0) {
        edit = Edit::kDelete;
        first = 3;
    }
    bool result = false;
    for (int i = first; i < argc; i += 2) {
        std::string name = argv[i];
        // A name without a value takes the empty value.
        std::string value = i + 1 < argc ? argv[i + 1] : "";
        switch (edit) {
            case Edit::kAdd: result = AddEnvVar(name, value); break;
            case Edit::kAppend: result = AppendEnvVar(name, value); break;
            case Edit::kDelete: result = DeleteEnvVar(name); break;
        }
    }
    return result;
}

// ---- Settings file and affinity ----

void DSEnv::ReadRegistry(const char* name, std::string& out) {
    out.clear();
    std::clog << "vantrixhome:" << m_VantrixHome;
    std::string path = m_VantrixHome + kSettingsFile;
    // Without a home the name would point at the root of the file system.
    if (m_VantrixHome.empty() || !tavro_settings::ReadValue(path, name, out))
        Log("DSEnv::Failed to open " + path);
}

void DSEnv::SetAffinity() {
    HANDLE process = GetCurrentProcess();
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (!GetProcessAffinityMask(process, &processMask, &systemMask)) {
        Log("DSEnv::GetProcessAffinityMask failed...Continuing on." +
            CNTSystemError().GetMsgString());
        processMask = systemMask = 0;
    }
    std::string value;
    if (CountBits(systemMask) >= 2) ReadRegistry(kCPUAffinity, value);
    DWORD_PTR mask = tavro_settings::AffinityMask(static_cast<uint32_t>(systemMask), value);
    if (mask == processMask) return;
    if (!SetProcessAffinityMask(process, mask)) {
        Log("DSEnv::SetProcessAffinityMask failed...Continuing on." +
            CNTSystemError().GetMsgString());
    }
}

bool DSEnv::GetAffinity() {
    std::string value;
    if (!PrivValue(pKAffinity, value)) {
        m_affinity = true;
        return m_affinity;
    }
    if (strcasecmp(value.c_str(), "No") == 0) {
        m_affinity = false;
        return m_affinity;
    }
    m_affinity = true;
    if (strcasecmp(value.c_str(), "Yes") == 0) return m_affinity;
    uint64_t n = 0;
    if (!LeadingNumber(value, n)) {
        Log("DSEnv::GetAfinity.sscanf failed");
        n = 0;
    }
    m_affinityMask = uint32_t{1} << (n % 32);
    return m_affinity;
}

bool DSEnv::setProcAffinity() {
    HANDLE process = GetCurrentProcess();
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (!GetProcessAffinityMask(process, &processMask, &systemMask)) {
        Log("DSEnv::Could not GetProcessAffinityMask. Continuing anyway." +
            CNTSystemError().GetMsgString());
        return false;
    }
    if (CountBits(systemMask) < 2) return true;
    if (m_affinityMask == 0 && HighestProcessor(systemMask) >= 0) {
        m_affinityMask = uint32_t{1} << HighestProcessor(systemMask);
    }
    if (!SetProcessAffinityMask(process, m_affinityMask)) {
        Log("DSEnv::Could not SetProcessAffinityMask. Continuing anyway." +
            CNTSystemError().GetMsgString());
        return false;
    }
    return true;
}
