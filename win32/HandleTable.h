// The process's table of kernel objects. A HANDLE is the key of one entry; the table
// owns the objects, so a handle stays valid until CloseHandle removes it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "win32/KernelObject.h"
#include "win32/Win32.h"

class HandleTable {
  public:
    static HandleTable& Instance();

    HANDLE Add(std::shared_ptr<KernelObject> object);
    bool Remove(HANDLE handle);

    // The object behind handle when it is of type T; null (and ERROR_INVALID_HANDLE
    // as the last error) otherwise. The shared pointer keeps it alive during the call.
    template <class T>
    std::shared_ptr<T> Get(HANDLE handle) {
        auto object = std::dynamic_pointer_cast<T>(Find(handle));
        if (!object) {
            SetInvalidHandle();
        }
        return object;
    }

  private:
    HandleTable() = default;
    std::shared_ptr<KernelObject> Find(HANDLE handle);
    static void SetInvalidHandle();

    std::mutex m_mutex;
    std::map<std::uintptr_t, std::shared_ptr<KernelObject>> m_objects;
    std::uintptr_t m_next = 4;
};
