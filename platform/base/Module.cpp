// Dynamic libraries and module file names over the dynamic loader.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>

#include "platform/Program.h"
#include "platform/base/Posix.h"
#include "platform/winbase.h"

namespace {

// Modules loaded through LoadLibraryA, with the number of loads not yet
// freed. Only these are accepted as module handles, so a stale or made-up
// handle gives an error instead of reaching the loader.
std::mutex g_mutex;
std::unordered_map<void*, int>* g_modules = nullptr;

std::unordered_map<void*, int>& Modules() {
    if (!g_modules) g_modules = new std::unordered_map<void*, int>;
    return *g_modules;
}

bool IsLoaded(HMODULE module) { return module && Modules().count(module); }

bool ExecutablePath(std::string& path) {
    path = platform::ModuleFileName();
    return !path.empty();
}

// The file a loaded module came from, as an absolute path.
bool ModulePath(HMODULE module, std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!IsLoaded(module)) {
        return platform::FailWith(ERROR_MOD_NOT_FOUND);
    }
    link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name)
        return ExecutablePath(path);
    std::error_code error;
    std::filesystem::path file = std::filesystem::absolute(map->l_name, error);
    path = error ? std::string(map->l_name) : file.string();
    return true;
}

// The system's own libraries are this layer: a program that looks a
// platform call up by name (ChangeServiceConfig2A in "ADVAPI32") finds it
// here. The path of the layer's library, or an empty text for any other name.
std::string SystemLibrary(const char* fileName) {
    std::string name = fileName;
    name = platform::AsciiLower(name);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0)
        name.resize(name.size() - 4);
    if (name != "advapi32" && name != "kernel32") return {};
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&LoadLibraryA), &info) || !info.dli_fname) return {};
    return info.dli_fname;
}

}  // namespace

// Copies the module's path; a buffer too small gets the path cut to
// size - 1 characters and its NUL, returns `size` and ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    std::string path;
    if (!(module ? ModulePath(module, path) : ExecutablePath(path))) return 0;
    if (size == 0 || !fileName) {
        return platform::FailWith(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
    }
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (!fileName || !*fileName) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::string system = SystemLibrary(fileName);
    std::lock_guard<std::mutex> lock(g_mutex);
    void* module = dlopen(system.empty() ? fileName : system.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        return platform::FailWith(ERROR_MOD_NOT_FOUND);
    }
    ++Modules()[module];
    return module;
}

// Looks a function up by name; ordinals (values below 0x10000) are not
// supported and are not found.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (!procName) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!IsLoaded(module)) {
        return platform::FailWith(ERROR_MOD_NOT_FOUND);
    }
    if (reinterpret_cast<uintptr_t>(procName) < 0x10000) {
        return platform::FailWith(ERROR_PROC_NOT_FOUND);
    }
    void* symbol = dlsym(module, procName);
    if (!symbol) {
        return platform::FailWith(ERROR_PROC_NOT_FOUND);
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!IsLoaded(module)) {
        return platform::FailWith(ERROR_MOD_NOT_FOUND);
    }
    if (--Modules()[module] == 0) Modules().erase(module);
    dlclose(module);
    return TRUE;
}

namespace platform {

std::string ModuleFileName() {
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        SetLastError(Win32FromErrno(error.value()));
        return {};
    }
    return exe.string();
}

}  // namespace platform
