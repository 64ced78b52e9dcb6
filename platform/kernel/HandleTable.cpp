// The process's handle table and CloseHandle.
#include <mutex>
#include <unordered_map>

#include "platform/kernel/KernelObject.h"
#include "platform/kernel/ProcessObject.h"
#include "platform/winbase.h"

namespace platform {
namespace {

// Handles are multiples of four from 0x100 up, as on the real platform, and
// never reused: a stale handle finds nothing instead of a newer object.
class HandleTable {
public:
    HANDLE Add(std::shared_ptr<KernelObject> object) {
        std::lock_guard lock(mutex_);
        uintptr_t value = next_;
        next_ += 4;
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<HANDLE>(value);
    }

    std::shared_ptr<KernelObject> Find(HANDLE handle) {
        std::lock_guard lock(mutex_);
        auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
        return found == objects_.end() ? nullptr : found->second;
    }

    // Removes the entry; the object itself ends with its last reference,
    // which a running wait may still hold.
    std::shared_ptr<KernelObject> Remove(HANDLE handle) {
        std::lock_guard lock(mutex_);
        auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
        if (found == objects_.end()) return nullptr;
        std::shared_ptr<KernelObject> object = std::move(found->second);
        objects_.erase(found);
        return object;
    }

private:
    std::mutex mutex_;
    uintptr_t next_ = 0x100;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
};

HandleTable& Table() {
    // Never destroyed: threads may still close handles while the process exits.
    static HandleTable* table = new HandleTable;
    return *table;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) { return Table().Add(std::move(object)); }

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    if (handle == GetCurrentProcess()) return CurrentProcessObject();
    std::shared_ptr<KernelObject> object = handle ? Table().Find(handle) : nullptr;
    if (!object) SetInvalidHandle();
    return object;
}

void SetInvalidHandle() { SetLastError(ERROR_INVALID_HANDLE); }

}  // namespace platform

BOOL CloseHandle(HANDLE handle) {
    if (handle == GetCurrentProcess()) return TRUE;
    std::shared_ptr<platform::KernelObject> object =
        handle ? platform::Table().Remove(handle) : nullptr;
    if (!object) {
        platform::SetInvalidHandle();
        return FALSE;
    }
    object.reset();
    return TRUE;
}
