// JexDataFilePath and JexServicesFilePath: full paths of the files the library needs.
#include "jexlink/core/JexDataFilePath.h"

#include <string>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexThread.h"
#include "platform/paths.h"

namespace {

// A path as the registry or a default writes it, in the platform's form.
std::string PlatformForm(const char* path) {
    std::string out = path ? path : "";
    for (char& c : out)
        if (c == '\\') c = platform::kPathSeparator;
    return out;
}

// `base` and `relative` with one separator between them.
std::string JoinPath(std::string base, const std::string& relative) {
    if (!base.empty() && base.back() != platform::kPathSeparator && !relative.empty())
        base += platform::kPathSeparator;
    return base + relative;
}

}  // namespace

JexString JexDataFilePath(const char* setting, const char* relativePath, int /*flags*/) {
    JexConfig config;
    std::string relative = PlatformForm(relativePath);
    if (setting && *setting) {
        const JexString& stored = config.Value(setting, "");
        if (*stored.Text()) relative = PlatformForm(stored.Text());
    }
    if (!relative.empty() && relative.front() == platform::kPathSeparator)
        return JexString(relative.c_str(), 1);
    const std::string base = PlatformForm(config.GetApplicationPath().Text());
    return JexString(JoinPath(base, relative).c_str(), 1);
}

JexString JexServicesFilePath() {
    JexConfig config;
    const std::string root = PlatformForm(config.GetSystemRoot().Text());
    const char* relative = JexWindows9xFamily() ? "services" : "system32\\drivers\\etc\\services";
    return JexString(JoinPath(root, PlatformForm(relative)).c_str(), 1);
}
