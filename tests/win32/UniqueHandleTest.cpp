// Ownership of handles: each is closed exactly once, by its last owner.
#include <gtest/gtest.h>

#include <utility>

#include "win32/UniqueHandle.h"
#include "win32/Win32.h"

namespace {

// An open event can be set; handles are never reused, so a closed one cannot.
bool StillOpen(HANDLE handle) {
    return SetEvent(handle) != FALSE;
}

TEST(UniqueHandle, ClosesOnceByItsLastOwner) {
    HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    {
        UniqueHandle owner(first);
        UniqueHandle moved(std::move(owner));
        EXPECT_FALSE(owner.Valid());
        EXPECT_EQ(moved.Get(), first);
        moved = UniqueHandle(second);
        EXPECT_FALSE(StillOpen(first)) << "replaced, so closed";
        EXPECT_TRUE(StillOpen(second));
    }
    EXPECT_FALSE(StillOpen(second)) << "closed at the end of its owner's scope";

    HANDLE kept = UniqueHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr)).Release();
    EXPECT_TRUE(CloseHandle(kept)) << "released, so left open";
}

TEST(UniqueModule, FreesTheModuleAtTheEndOfItsScope) {
    HMODULE raw = nullptr;
    {
        const UniqueModule module(LoadLibraryA("NTDLL.DLL"));
        raw = module.Get();
        ASSERT_NE(GetProcAddress(raw, "NtQueryInformationProcess"), nullptr);
    }
    EXPECT_EQ(GetProcAddress(raw, "NtQueryInformationProcess"), nullptr);
}

}  // namespace
