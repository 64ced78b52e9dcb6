// The open handles of one kind that a call hands out as bare pointers: each is checked before use.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {

// Owns the objects behind the handles of one kind (registry keys, event
// sources, policies, service handles) and tells a live handle from a
// closed or made-up one, so that no call follows a stale pointer. All
// members lock the set's own mutex.
template <class T>
class LiveSet {
public:
    // Takes ownership of `object` and returns its handle.
    T* Add(std::unique_ptr<T> object) {
        T* handle = object.get();
        std::lock_guard lock(mutex_);
        objects_.emplace(handle, std::move(object));
        return handle;
    }
    // Calls `use` with the object behind a live `handle` under the set's
    // lock and returns true; false for a closed or unknown handle.
    template <class Use>
    bool With(const void* handle, Use use) {
        std::lock_guard lock(mutex_);
        auto found = objects_.find(handle);
        if (!handle || found == objects_.end()) return false;
        use(*found->second);
        return true;
    }
    bool Contains(const void* handle) {
        return With(handle, [](T&) {});
    }
    // Ends the object behind `handle`; false when it is not live.
    bool Remove(const void* handle) {
        std::unique_ptr<T> object;
        {
            std::lock_guard lock(mutex_);
            auto found = objects_.find(handle);
            if (!handle || found == objects_.end()) return false;
            object = std::move(found->second);
            objects_.erase(found);
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::unordered_map<const void*, std::unique_ptr<T>> objects_;
};

}  // namespace platform
