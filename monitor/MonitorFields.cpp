#include "monitor/MonitorFields.h"

#include <string.h>

#include <cstring>

MonitorFields& MonitorFields::Add(std::string_view value) {
    const auto n = static_cast<std::uint32_t>(value.size());
    m_bytes.append(reinterpret_cast<const char*>(&n), sizeof n);
    m_bytes.append(value);
    return *this;
}

MonitorFields& MonitorFields::Add(std::uint64_t value) {
    return Add(std::string_view(reinterpret_cast<const char*>(&value), sizeof value));
}

bool MonitorFields::Next(std::string& value, std::size_t limit) {
    std::uint32_t n = 0;
    if (m_bytes.size() - m_at < sizeof n) {
        return false;
    }
    std::memcpy(&n, m_bytes.data() + m_at, sizeof n);
    if (n > limit || m_bytes.size() - m_at - sizeof n < n) {
        return false;
    }
    m_at += sizeof n;
    value.assign(m_bytes, m_at, n);
    m_at += n;
    return true;
}

bool MonitorFields::Next(std::uint64_t& value) {
    std::string bytes;
    if (!Next(bytes, sizeof value) || bytes.size() != sizeof value) {
        return false;
    }
    std::memcpy(&value, bytes.data(), sizeof value);
    return true;
}

void MonitorFields::Wipe() {
    ::explicit_bzero(m_bytes.data(), m_bytes.size());
}
