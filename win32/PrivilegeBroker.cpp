#include "win32/PrivilegeBroker.h"

#include <utility>

#include "win32/InProcessPrivileges.h"

namespace {
PrivilegeBroker* g_selected = nullptr;
std::string g_logonTerminal;
}  // namespace

PrivilegeBroker& PrivilegeBroker::Current() {
    if (g_selected != nullptr) {
        return *g_selected;
    }
    static InProcessPrivileges inProcess;
    return inProcess;
}

void PrivilegeBroker::Select(PrivilegeBroker& broker) {
    g_selected = &broker;
}

std::string PrivilegeBroker::LogonTerminal() {
    return g_logonTerminal;
}

void PrivilegeBroker::SetLogonTerminal(std::string terminal) {
    g_logonTerminal = std::move(terminal);
}
