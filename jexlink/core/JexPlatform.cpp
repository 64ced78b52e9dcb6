// The description of this machine that the library reports to its peers.
#include "jexlink/core/JexPlatform.h"

#include <cstdio>

#include "jexlink/core/JexThread.h"
#include "platform/winbase.h"

namespace {

// What the fields and the description hold until they are filled.
constexpr char kPlaceholderFields[] = "ENIAC fubar '95 13 ENIAC";
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

}  // namespace

JexPlatform::JexPlatform()
    : JexFieldedString(kPlaceholderFields, ' '), description(kPlaceholderDescription) {
    const DWORD version = GetVersion();
    const bool ntFamily = (version & 0x80000000u) == 0;
    (*this)[0] = ntFamily ? "WindowsNT" : "Windows";

    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    if (GetComputerNameA(name, &size)) (*this)[1] = name;

    char versionText[16];
    std::snprintf(versionText, sizeof versionText, "%u.%u", version & 0xFFu, version >> 8 & 0xFFu);
    (*this)[2] = versionText;
    (*this)[3] = "0";

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const char* processor = ProcessorName(info.wProcessorArchitecture);
    (*this)[4] = processor;
    description = ntFamily ? "Windows NT " : "Windows ";
    description += processor;
}

JexPlatform::~JexPlatform() = default;
