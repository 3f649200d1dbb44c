// Owns one handle and closes it when it goes out of scope: a kernel object's with
// CloseHandle (UniqueHandle), a module's from LoadLibraryA with FreeLibrary (UniqueModule).
#pragma once

#include <utility>

#include "win32/Win32.h"

template <BOOL (*Close)(HANDLE)>
class UniqueHandleOf {
  public:
    UniqueHandleOf() = default;
    explicit UniqueHandleOf(HANDLE handle) : m_handle(handle) {}
    UniqueHandleOf(const UniqueHandleOf&) = delete;
    UniqueHandleOf& operator=(const UniqueHandleOf&) = delete;
    UniqueHandleOf(UniqueHandleOf&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)) {}
    UniqueHandleOf& operator=(UniqueHandleOf&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.m_handle, nullptr));
        }
        return *this;
    }
    ~UniqueHandleOf() { Reset(); }

    HANDLE Get() const { return m_handle; }
    bool Valid() const { return m_handle != nullptr; }
    HANDLE Release() { return std::exchange(m_handle, nullptr); }
    void Reset(HANDLE handle = nullptr) {
        if (m_handle != nullptr) {
            Close(m_handle);
        }
        m_handle = handle;
    }

  private:
    HANDLE m_handle = nullptr;
};

using UniqueHandle = UniqueHandleOf<&CloseHandle>;
using UniqueModule = UniqueHandleOf<&FreeLibrary>;
