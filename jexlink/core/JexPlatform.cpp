// The description of this machine that the library reports to its peers.
#include "jexlink/core/JexPlatform.h"

#include <cstdio>
#include <string>

#include "jexlink/core/JexThread.h"
#include "platform/winbase.h"

namespace {

// What the fields and the description hold until they are filled.
constexpr char kPlaceholderFields[] = "ENIAC fubar '95 13 ENIAC";
constexpr char kPlaceholderComputer[] = "fubar";  // field 1 of the above
constexpr char kPlaceholderDescription[] = "ENIAC '95 Sorrel";

const char* ProcessorName(WORD architecture) {
    switch (architecture) {
        // x86-64 is the Intel family that peers know by that name.
        case PROCESSOR_ARCHITECTURE_INTEL:
        case PROCESSOR_ARCHITECTURE_AMD64: return "Intel";
        case 1: return "MIPS";
        case 2: return "Sorrel";
        case 3: return "PowerPC";
        case PROCESSOR_ARCHITECTURE_UNKNOWN: return "Unknown";
        default: return "Eniac";
    }
}

// The fields that cannot change while the process runs: the system's
// version and its processor. Asking for the processor reads the count of
// processors from the system as well, so they are found once per process.
struct FixedFields {
    bool ntFamily;
    std::string version;
    const char* processor;
};

const FixedFields& Fixed() {
    static const FixedFields fixed = [] {
        const DWORD version = GetVersion();
        char versionText[16];
        std::snprintf(versionText, sizeof versionText, "%u.%u", version & 0xFFu,
                      version >> 8 & 0xFFu);
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return FixedFields{(version & 0x80000000u) == 0, versionText,
                           ProcessorName(info.wProcessorArchitecture)};
    }();
    return fixed;
}

const char* SystemName(const FixedFields& fixed) {
    return fixed.ntFamily ? "WindowsNT" : "Windows";
}

// The computer's name may change while the process runs: asked each time.
// False when the system cannot tell (the field keeps its placeholder).
bool ComputerName(char (&name)[MAX_COMPUTERNAME_LENGTH + 1]) {
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) != 0;
}

}  // namespace

JexPlatform::JexPlatform()
    : JexFieldedString(kPlaceholderFields, ' '), description(kPlaceholderDescription) {
    const FixedFields& fixed = Fixed();
    (*this)[0] = SystemName(fixed);
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    if (ComputerName(name)) (*this)[1] = name;
    (*this)[2] = fixed.version.c_str();
    (*this)[3] = "0";
    (*this)[4] = fixed.processor;
    description = fixed.ntFamily ? "Windows NT " : "Windows ";
    description += fixed.processor;
}

JexString JexPlatform::CurrentText(JexString& name) {
    const FixedFields& fixed = Fixed();
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    name = ComputerName(computer) ? computer : kPlaceholderComputer;
    JexString text(SystemName(fixed));
    text += " ";
    text += name;
    text += " ";
    text += fixed.version.c_str();
    text += " 0 ";
    text += fixed.processor;
    return text;
}

JexPlatform::~JexPlatform() = default;
