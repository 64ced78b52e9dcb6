// DSEnv: the installed tree's environment as the service sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Hostsys/Env.h"
#include "Hostsys/Revision.h"

#define DSENV_H_REVISION TAVRO_REVISION("Hostsys/DSEnv.h", "1.6")

// The environment of the installed tree, over its private environment file
// (NTPriv.env): the tree's home, the directories to put in front of PATH,
// the director's class paths and output files, the service log, the Java
// runtime settings and the service's switches and timings. Paths take this
// platform's form ('/' between directories, ':' between list entries).
//
// Every path getter takes the path from which the home is derived while it
// is not yet known (normally the program's own file name) and returns its
// cached result; an empty result is worked out again on the next call.
// Messages go as lines to the standard log stream (std::clog). No lock:
// use one object per thread.
class DSEnv : public Env, public tavro::Revisions<DSEnv> {
public:
    // Key names of the private environment file and of the tree.
    static const char* const pKVantrixHome;       // "VANTRIX_HOME"
    static const char* const pKRunPriority;       // "-RunPriority"
    static const char* const pKAffinity;          // "-Affinity"
    static const char* const pKDSVerbose;         // "-Verbose"
    static const char* const pKDSPort;            // "-Port"
    static const char* const pKDSFudgeFactor;     // "-FF"
    static const char* const pKDSWaitSec;         // "-WS"
    static const char* const pKDSJVMPath;         // "-JVMPath"
    static const char* const pKDSJVM;             // "-JVM"
    static const char* const pKDSMaxStartupWait;  // "-MSW"
    static const char* const pKDSDoNothing;       // "-DoNothing"
    static const char* const pKDSJVMThreadStack;  // "-JVMThreadStack"
    static const char* const pKDSJavaProcess;     // "-JavaProcess"
    static const char* const pKDSJVMProcess;      // "-JVMProcess"
    static const char* const pKDSJavaBatch;       // "-JavaBatch"
    static const char* const pKDSPingTimer;       // "-PingWaitMs"
    static const char* const pKDSNoAutoStart;     // "-NoAutoStart"
    static const char* const pKDSNoExitHand;      // "-NoExitHand"
    static const char* const pKNTPrivEnv;         // "/specific/tavro/data/NTPriv.env"
    static const char* const pKNTRight;           // "/specific/tavro/data/NTRight"
    static const char* const pKTavroServiceHome;  // "/common/share"

    // The private variables that install and -env store: VANTRIX_HOME,
    // -RunPriority, -Affinity, -Port, -Verbose.
    static constexpr int nKNumPrivArgs = 5;
    static const char* const ppKPrivEnvVars[nKNumPrivArgs];

    // What the service takes when a timing or the port is not set.
    static constexpr uint32_t kDefaultFudgeFactor = 100;    // -FF, milliseconds
    static constexpr uint32_t kDefaultWaitSec = 2;          // -WS, seconds
    static constexpr uint32_t kDefaultMaxStartupWait = 30;  // -MSW, waits
    static constexpr uint32_t kDefaultPingWaitMs = 300;     // -PingWaitMs
    static constexpr int32_t kDefaultPort = 9292;           // -Port

    DSEnv();
    DSEnv(const DSEnv& other);
    DSEnv& operator=(const DSEnv& other);
    ~DSEnv() override;

    // Home, paths and files.
    const std::string& GetVantrixHome(const char* path);
    // The jar path: VANTRIX_PATH of the private file, else the tree's jars
    // (sorted) followed by its plov data directory.
    const std::string& GetVantrixPath(const char* path);
    const std::string& GetVantrixShare(const char* path);
    // CLASSPATH of the private file, else the .jar and .zip entries of the
    // tree's Java runtime directory (sorted).
    const std::string& GetClassPath(const char* path);
    // The support-log directory under the system directory.
    const std::string& GetZotaHome();
    const std::string& GetLogFile(const char* path);
    const std::string& GetErrFile(const char* path);
    const std::string& GetDSLogFile(const char* path);
    const std::string& GetJVMDll();
    const std::string& GetJVM();
    // -JVMThreadStack in bytes ("512K", "2M", or a plain number); 0 when
    // unset.
    size_t getJVMThreadStack();
    // Puts the tree's directories in front of the process's PATH.
    bool SetPath();
    // Moves the director's output and error files aside (".bck").
    void RenameOutputFiles(const char* path);

    // Private environment file and switches.
    // Opens the tree's private file for reading and writing, created empty
    // when missing; finds the home from the program's own file name when it
    // is not known yet. The argument is not used.
    bool OpenEnvFile(bool unused = false);
    // True when `name` is one of ppKPrivEnvVars.
    static bool IsKnownArg(const char* name);
    // False when `key` is missing or "No" in any case; true otherwise.
    bool getBool(const char* key);
    // The leading decimal digits of `key`'s value; 0 when missing.
    uint32_t getUnsignedLong(const char* key);
    bool GetVerbose() { return getBool(pKDSVerbose); }
    bool getDoNothing() { return getBool(pKDSDoNothing); }
    bool getJavaProcess() { return getBool(pKDSJavaProcess); }
    bool getJavaBatch() { return getBool(pKDSJavaBatch); }
    bool getJVMProcess() { return getBool(pKDSJVMProcess); }
    bool getNoAutoStart() { return getBool(pKDSNoAutoStart); }
    bool getNoExitHand() { return getBool(pKDSNoExitHand); }
    // Timings; 0 when unset (the caller applies its default).
    uint32_t getFudgeFactor() { return getUnsignedLong(pKDSFudgeFactor); }
    uint32_t getWaitSec() { return getUnsignedLong(pKDSWaitSec); }
    uint32_t getMaxStartupWait() { return getUnsignedLong(pKDSMaxStartupWait); }
    uint32_t getPingWait() { return getUnsignedLong(pKDSPingTimer); }
    // The -Port value when it is set to a port number (1 to 65535).
    bool GetConfiguredPort(int32_t& port);
    // Stores -Port, when set, in the socket-link object through its
    // SetPort(int); then closes the private file.
    template <class Link>
    void getTavroComPort(Link& com) {
        int32_t port = 0;
        if (GetConfiguredPort(port)) com.SetPort(port);
        Close();
    }
    // The -env command: argv[1] is "-env", then "-a" (append) or "-d"
    // (delete) or neither (add), then name/value pairs. The result of the
    // last edit; false with fewer than four arguments.
    bool Interface(int argc, char** argv);
    bool SetRedakLogs() { return true; }

    // Settings file and affinity.
    // The value of the first line of the tree's TAVRO.REG that begins with
    // `name` (any case): the text after its "=", without its line end.
    // Empty when there is none.
    void ReadRegistry(const char* name, std::string& out);
    // Applies tavro.CPUAffinity of TAVRO.REG to the process.
    void SetAffinity();
    // Applies the mask worked out by GetAffinity (or the highest processor).
    bool setProcAffinity();

    // "<source revision> <header revision>".
    using tavro::Revisions<DSEnv>::getRevision;
    static const char* const s_pRevisionCpp;
    static const char* const s_pRevisionH;

protected:
    // Reads -Affinity into the affinity flag and mask; returns the flag.
    bool GetAffinity();
    // The process variable `name`; true when it is not empty.
    bool GetTavroEnv(std::string& out, const char* name);

    std::string m_VantrixHome;
    bool m_affinity = false;
    uint32_t m_affinityMask = 0;

private:
    bool PrivValue(const char* key, std::string& value);
    const std::string& TreeFile(std::string& cache, const char* path, const char* relative);
    bool ListJars(std::string& out);
    bool ListRuntime(std::string& out);

    std::string m_VantrixPath;
    std::string m_VantrixShare;
    std::string m_ClassPath;
    std::string m_PathDirs;
    std::string m_ZotaHome;
    std::string m_LogFile;
    std::string m_ErrFile;
    std::string m_DSLogFile;
    std::string m_JVMDll;
    std::string m_JVM;
};
