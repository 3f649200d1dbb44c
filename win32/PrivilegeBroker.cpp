#include "win32/PrivilegeBroker.h"

#include <utility>

namespace {
const PrivilegeBroker* g_broker = nullptr;
std::string g_logonTerminal;
}  // namespace

const PrivilegeBroker* PrivilegeBroker::Installed() {
    return g_broker;
}

void PrivilegeBroker::Install(const PrivilegeBroker* broker) {
    g_broker = broker;
}

std::string PrivilegeBroker::LogonTerminal() {
    return g_logonTerminal;
}

void PrivilegeBroker::SetLogonTerminal(std::string terminal) {
    g_logonTerminal = std::move(terminal);
}
