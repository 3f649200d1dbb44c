// The fields of one monitor message: each a 32-bit length and its bytes, read back in
// order with a limit per field. A malformed payload is refused, never guessed at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class MonitorFields {
  public:
    MonitorFields() = default;
    explicit MonitorFields(std::string bytes) : m_bytes(std::move(bytes)) {}

    MonitorFields& Add(std::string_view value);
    MonitorFields& Add(std::uint64_t value);
    // The next field, at most limit bytes; false when the payload is malformed.
    bool Next(std::string& value, std::size_t limit);
    bool Next(std::uint64_t& value);
    bool Done() const { return m_at == m_bytes.size(); }
    // For payloads that held a password.
    void Wipe();
    const std::string& Bytes() const { return m_bytes; }

  private:
    std::string m_bytes;
    std::size_t m_at = 0;
};
