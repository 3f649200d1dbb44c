// Owns one module handle from LoadLibraryA and frees it with FreeLibrary when it goes out of
// scope.
#pragma once

#include <utility>

#include "win32/Win32.h"

class UniqueModule {
  public:
    UniqueModule() = default;
    explicit UniqueModule(HMODULE module) : m_module(module) {}
    UniqueModule(const UniqueModule&) = delete;
    UniqueModule& operator=(const UniqueModule&) = delete;
    UniqueModule(UniqueModule&& other) noexcept
        : m_module(std::exchange(other.m_module, nullptr)) {}
    UniqueModule& operator=(UniqueModule&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.m_module, nullptr));
        }
        return *this;
    }
    ~UniqueModule() { Reset(); }

    HMODULE Get() const { return m_module; }
    bool Valid() const { return m_module != nullptr; }
    HMODULE Release() { return std::exchange(m_module, nullptr); }
    void Reset(HMODULE module = nullptr) {
        if (m_module != nullptr) {
            FreeLibrary(m_module);
        }
        m_module = module;
    }

  private:
    HMODULE m_module = nullptr;
};
