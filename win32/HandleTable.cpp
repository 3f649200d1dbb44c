#include "win32/HandleTable.h"

#include <cerrno>

HandleTable& HandleTable::Instance() {
    static HandleTable table;
    return table;
}

HANDLE HandleTable::Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(m_mutex);
    // Steps of 4, as on Windows: a handle is never null, never INVALID_HANDLE_VALUE.
    std::uintptr_t key = m_next;
    m_next += 4;
    m_objects.emplace(key, std::move(object));
    return reinterpret_cast<HANDLE>(key);
}

bool HandleTable::Remove(HANDLE handle) {
    std::shared_ptr<KernelObject> doomed;  // destroyed after the lock is released
    std::lock_guard lock(m_mutex);
    auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == m_objects.end()) {
        return false;
    }
    doomed = std::move(it->second);
    m_objects.erase(it);
    return true;
}

std::shared_ptr<KernelObject> HandleTable::Find(HANDLE handle) {
    std::lock_guard lock(m_mutex);
    auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == m_objects.end() ? nullptr : it->second;
}

void HandleTable::SetInvalidHandle() {
    SetLastError(EBADF);
}
