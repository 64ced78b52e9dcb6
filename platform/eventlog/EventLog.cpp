// The event log: event sources, reported events and program message tables.
#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/Program.h"
#include "platform/RegKey.h"
#include "platform/base/LiveSet.h"
#include "platform/base/Posix.h"
#include "platform/winevt.h"

namespace {

constexpr const char* kSourcesKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

struct EventSource {
    static constexpr uint32_t kMagic = 0x45565453;  // "EVTS"
    uint32_t magic = kMagic;
    std::string name;
};

std::mutex g_lock;
platform::LiveSet<EventSource>& Sources() {
    static auto* sources = new platform::LiveSet<EventSource>;
    return *sources;
}
const platform::MessageTableEntry* g_table = nullptr;
size_t g_tableSize = 0;

const char* TypeName(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE: return "Error";
        case EVENTLOG_WARNING_TYPE: return "Warning";
        case EVENTLOG_AUDIT_SUCCESS: return "Audit Success";
        case EVENTLOG_AUDIT_FAILURE: return "Audit Failure";
        default: return "Information";
    }
}

int SyslogPriority(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE: return LOG_ERR;
        case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
        case EVENTLOG_AUDIT_FAILURE: return LOG_NOTICE;
        default: return LOG_INFO;
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// The message text of `id` when the source's message file is this program
// and its table has the id; empty otherwise.
std::string TableText(const std::string& source, DWORD id) {
    platform::RegKey key;
    if (key.Open(kSourcesKey + source) != ERROR_SUCCESS) return {};
    std::optional<std::string> file = key.GetString("EventMessageFile");
    if (!file || !SameFile(*file, platform::ModuleFileName())) return {};
    std::lock_guard<std::mutex> lock(g_lock);
    for (size_t i = 0; i < g_tableSize; ++i) {
        if (g_table[i].id == id) return g_table[i].text;
    }
    return {};
}

std::string Expand(const std::string& text, const std::vector<std::string>& inserts) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            size_t n = static_cast<size_t>(text[i + 1] - '1');
            if (n < inserts.size()) out += inserts[n];
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

// The text on one line: line ends become blanks, trailing ones go.
std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    return text;
}

// Appends one line under an exclusive lock of the file; false with the
// last error set.
bool AppendLine(const std::string& line) {
    std::filesystem::path file = platform::EventLogFile();
    if (file.empty()) return false;
    platform::ScopedFd fd(platform::OpenStateFile(file, O_WRONLY | O_APPEND));
    if (!fd || platform::RetryOnEintr([&] { return flock(fd.Get(), LOCK_EX); }) != 0 ||
        !platform::WriteAll(fd.Get(), line.data(), line.size())) {
        platform::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

}  // namespace

namespace platform {

void RegisterMessageTable(const MessageTableEntry* entries, size_t count) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_table = entries;
    g_tableSize = entries ? count : 0;
}

std::filesystem::path EventLogFile() {
    std::filesystem::path dir = StateSubdir("eventlog");
    return dir.empty() ? dir : dir / "Application.log";
}

}  // namespace platform

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
    if (serverName && *serverName) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    if (!sourceName || !*sourceName) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    auto source = std::make_unique<EventSource>();
    source->name = sourceName;
    return Sources().Add(std::move(source));
}

BOOL DeregisterEventSource(HANDLE eventLog) {
    if (!Sources().Remove(eventLog)) {
        return platform::FailWith(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

BOOL ReportEventA(HANDLE eventLog, WORD type, WORD /*category*/, DWORD eventId, PSID /*userSid*/,
                  WORD numStrings, DWORD /*dataSize*/, LPCSTR* strings, LPVOID /*rawData*/) {
    std::string sourceName;
    if (!Sources().With(eventLog, [&](EventSource& source) { sourceName = source.name; })) {
        return platform::FailWith(ERROR_INVALID_HANDLE);
    }
    if (numStrings > 0 && !strings) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::vector<std::string> inserts;
    for (WORD i = 0; i < numStrings; ++i) inserts.emplace_back(strings[i] ? strings[i] : "");

    std::string text = TableText(sourceName, eventId);
    if (!text.empty()) {
        text = Expand(text, inserts);
    } else {
        text = "No text for event " + std::to_string(eventId) + " of source " + sourceName +
               " is known here.";
        if (!inserts.empty()) {
            text += " Inserts:";
            for (const std::string& insert : inserts) text += " \"" + insert + "\"";
        }
    }
    text = OneLine(text);

    const std::string stamp = platform::LocalTime("%Y-%m-%d %H:%M:%S");
    std::string line = stamp + '\t' + OneLine(sourceName) + '\t' + TypeName(type) + '\t' +
                       std::to_string(eventId) + '\t' + text + '\n';

    syslog(LOG_USER | SyslogPriority(type), "%s[%u]: %s", sourceName.c_str(),
           static_cast<unsigned>(eventId), text.c_str());
    return AppendLine(line) ? TRUE : FALSE;
}
