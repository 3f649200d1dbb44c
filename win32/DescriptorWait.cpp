#include "win32/DescriptorWait.h"

#include "win32/HandleTable.h"
#include "win32/KernelObject.h"

int WaitDescriptorOf(HANDLE handle, bool* resetOnWait, bool* forRoom) {
    auto object = HandleTable::Instance().Get<KernelObject>(handle);
    if (!object || object->WaitFd() < 0) {
        return -1;
    }
    if (resetOnWait != nullptr) {
        *resetOnWait = object->ResetOnWait();
    }
    if (forRoom != nullptr) {
        *forRoom = object->WaitsForRoom();
    }
    return object->WaitFd();
}
