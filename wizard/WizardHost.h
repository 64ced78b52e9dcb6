// What the configuration wizard needs of its machine: registry, files, clock, host facts, launcher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace wizard {

// The one seam between the wizard's logic (UserControl1) and the machine.
// SystemWizardHost is the real form over the platform layer; a test derives
// from it to fix the clock and the host facts, or fakes the whole of it.
//
// Files are named by the install root (as stored, ending in '/') and a
// path below it with '/' between its parts, such as
// "SPECIFIC/TAVRO/CONFIG/PROFILE.TXT"; the parts below the root are found
// without regard to case, and no directory is ever created. Failures come
// back as Win32 codes, whose texts platform::Win32ErrorText gives.
class WizardHost {
public:
    virtual ~WizardHost() = default;

    // Registry, under a predefined root given by its handle value
    // (0x80000002 for HKEY_LOCAL_MACHINE). Reads the value `name` of
    // `subKey` into at most `capacity` bytes: ERROR_SUCCESS with its type
    // and bytes, else the code of the failing open or query
    // (ERROR_MORE_DATA for a longer value).
    virtual LONG QueryValue(uint32_t root, const std::string& subKey, const std::string& name,
                            DWORD capacity, DWORD& type, std::string& data) = 0;
    // Creates the key when missing and sets `name` to `text` as REG_SZ with
    // its NUL.
    virtual LONG SetStringValue(uint32_t root, const std::string& subKey, const std::string& name,
                                const std::string& text) = 0;

    // Whether the path names a regular file that can be opened for reading.
    virtual bool FileExists(const std::string& root, const std::string& relative) = 0;
    // At most `limit` bytes from the start of the file; nothing when it
    // cannot be read.
    virtual std::optional<std::string> ReadFile(const std::string& root,
                                                const std::string& relative, size_t limit) = 0;
    // Creates or empties the file (mode 0644, never through a link) and
    // writes `bytes`.
    virtual DWORD WriteFile(const std::string& root, const std::string& relative,
                            const std::string& bytes) = 0;
    // GetPrivateProfileStringA with an empty default into a 255-byte buffer.
    virtual std::string ProfileString(const std::string& root, const std::string& relative,
                                      const std::string& section, const std::string& key) = 0;
    // WritePrivateProfileStringA.
    virtual DWORD WriteProfileString(const std::string& root, const std::string& relative,
                                     const std::string& section, const std::string& key,
                                     const std::string& value) = 0;

    // The local time now.
    virtual std::tm LocalNow() = 0;
    // The host's name up to its first dot; nothing when it cannot be known.
    virtual std::optional<std::string> HostName() = 0;
    // The DNS domain of the host; nothing when none is known.
    virtual std::optional<std::string> DnsDomain() = 0;

    // Starts the program at the path with `arguments`, detached: returns
    // once it runs (or failed to start), never waits for it, and leaves no
    // zombie behind.
    virtual DWORD Launch(const std::string& root, const std::string& relative,
                         const std::vector<std::string>& arguments) = 0;
};

// The real host over the platform layer and POSIX.
class SystemWizardHost : public WizardHost {
public:
    LONG QueryValue(uint32_t root, const std::string& subKey, const std::string& name,
                    DWORD capacity, DWORD& type, std::string& data) override;
    LONG SetStringValue(uint32_t root, const std::string& subKey, const std::string& name,
                        const std::string& text) override;
    bool FileExists(const std::string& root, const std::string& relative) override;
    std::optional<std::string> ReadFile(const std::string& root, const std::string& relative,
                                        size_t limit) override;
    DWORD WriteFile(const std::string& root, const std::string& relative,
                    const std::string& bytes) override;
    std::string ProfileString(const std::string& root, const std::string& relative,
                              const std::string& section, const std::string& key) override;
    DWORD WriteProfileString(const std::string& root, const std::string& relative,
                             const std::string& section, const std::string& key,
                             const std::string& value) override;
    std::tm LocalNow() override;
    std::optional<std::string> HostName() override;
    std::optional<std::string> DnsDomain() override;
    DWORD Launch(const std::string& root, const std::string& relative,
                 const std::vector<std::string>& arguments) override;
};

// `root` followed by the parts of `relative` ('/' between them), each part
// spelt as an existing entry of its directory when one matches without
// regard to case (the exact spelling first, else the first in byte order),
// else as given.
std::string ResolveNoCase(const std::string& root, const std::string& relative);

// The domain named by resolv.conf text: its "domain" line, else the first
// entry of its "search" line; empty when neither is there.
std::string DomainFromResolvConf(const std::string& text);

}  // namespace wizard
