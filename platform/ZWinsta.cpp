#include "platform/ZWinsta.h"

#include <array>

#include "infra/ZTraceScope.h"

bool ZWinsta::SetWinstaAndDesktop(std::string prefix) {
    ZTraceScope trace;
    trace.Trace("ZWinsta::SetWinstaAndDesktop( ", prefix, " )");
    // Both objects stay open for the life of the process.
    HWINSTA station = OpenWindowStationA((prefix + "WINSTA").c_str(), TRUE, GENERIC_ALL);
    if (station == nullptr) {
        trace.Trace("OpenWindowStation( ):err");
        return false;
    }
    constexpr DWORD kInfo = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    if (SetSecurityInfo(station, SE_WINDOW_OBJECT, kInfo, nullptr, nullptr, nullptr, nullptr) !=
        0) {
        trace.Trace("SetSecurityInfo( ):err");
        return false;
    }
    if (!SetProcessWindowStation(station)) {
        trace.Trace("SetProcessWindowStation( ):err");
        return false;
    }
    HDESK desktop = OpenDesktopA((prefix + "DESK").c_str(), 0, TRUE, DESKTOP_ACCESS_ALL);
    if (desktop == nullptr) {
        trace.Trace("OpenDesktop( ):err");
        return false;
    }
    if (SetSecurityInfo(desktop, SE_WINDOW_OBJECT, kInfo, nullptr, nullptr, nullptr, nullptr) !=
        0) {
        trace.Trace("SetSecurityInfo( ):err");
        return false;
    }
    if (!SetThreadDesktop(desktop)) {
        trace.Trace("SetThreadDesktop( ):err");
        return false;
    }
    return true;
}

std::string ZWinsta::GetErrorMessage(DWORD code) {
    ZTraceScope trace;
    trace.Trace("ZWinsta::GetErrorMessage( ", code, " )");
    std::string text;
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_FROM_SYSTEM,
                       code, text) == 0) {
        return {};
    }
    return text;
}

bool ZWinsta::ProcessStillActive(HANDLE process) {
    ZTraceScope trace;
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        trace.Trace("GetExitCodeProcess( ):err");
        return false;
    }
    return code == STILL_ACTIVE;
}

std::string ZWinsta::GetCmdLineParam(std::string name) {
    ZTraceScope trace;
    trace.Trace("ZWinsta::GetCmdLineParam( ", name, " )");
    const std::string line = GetCommandLineA();
    std::string value;
    const auto at = line.find(name);
    if (at != std::string::npos) {
        const auto start = at + name.size();
        const auto end = line.find(' ', start);
        value = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    trace.Trace("strValue = '", value, "'");
    return value;
}

bool ZWinsta::ExpandEnvironmentString(std::string& text) {
    ZTraceScope trace;
    trace.Trace("ZWinsta::ExpandEnvironmentString( ", text, " )");
    std::string result;
    std::size_t pos = 0;
    for (;;) {
        const auto open = text.find('%', pos);
        if (open == std::string::npos) {
            break;
        }
        const auto close = text.find('%', open + 1);
        if (close == std::string::npos) {
            break;
        }
        result.append(text, pos, open - pos);
        const std::string name = text.substr(open + 1, close - open - 1);
        std::array<char, 1020> buffer{};
        // A value that does not fit is left out, as is an unset variable.
        const DWORD length =
            name.empty() ? 0 : GetEnvironmentVariableA(name.c_str(), buffer.data(), buffer.size());
        if (length < buffer.size()) {
            result.append(buffer.data(), length);
        }
        pos = close + 1;
    }
    result.append(text, pos, std::string::npos);
    text = std::move(result);
    trace.Trace("strEnv =", text);
    return true;
}
