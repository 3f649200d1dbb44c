#include "service/ZavdOptions.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "service/ZavdControl.h"

namespace {

bool ParseNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

std::string ProgramDirectory() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    const std::string self(path, static_cast<std::size_t>(n));
    return self.substr(0, self.rfind('/'));
}

// brisel beside zavd (the build tree), else where it is installed: ZAV_INSTALLED_SESSION
// is its path relative to the installed zavd's directory (../libexec/zav/brisel), so any
// installation prefix works.
std::string DefaultSession() {
    const std::filesystem::path directory = ProgramDirectory();
    std::error_code error;
    if (std::filesystem::exists(directory / "brisel", error)) {
        return (directory / "brisel").string();
    }
    return (directory / ZAV_INSTALLED_SESSION).lexically_normal().string();
}

}  // namespace

bool ParseListen(const std::string& text, ZavdListen& out) {
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) {
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        in6_addr v6{};
        if (::inet_pton(AF_INET6, host.c_str(), &v6) != 1) {
            return false;
        }
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        in_addr v4{};
        if (::inet_pton(AF_INET, host.c_str(), &v4) != 1) {
            return false;
        }
    }
    long number = 0;
    if (!ParseNumber(port, 0, 65535, number)) {
        return false;
    }
    out.host = host;
    out.port = static_cast<int>(number);
    return true;
}

bool ZavdOptions::Parse(const std::vector<std::string>& arguments, std::string& error) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= arguments.size()) {
                error = a + " needs a value";
                return false;
            }
            into = arguments[++i];
            return true;
        };
        std::string text;
        if (a == "--listen") {
            ZavdListen address;
            if (!value(text)) {
                return false;
            }
            const std::string proxy = ",proxy";
            const bool proxied = text.size() > proxy.size() &&
                                 text.compare(text.size() - proxy.size(), proxy.size(), proxy) == 0;
            if (!ParseListen(proxied ? text.substr(0, text.size() - proxy.size()) : text,
                             address)) {
                error = "--listen " + text +
                        ": expected ADDR:PORT or [ADDR]:PORT, then ,proxy or nothing";
                return false;
            }
            address.proxy = proxied;
            listen.push_back(address);
            listenGiven = true;
        } else if (a == "--proxy-from") {
            ZavdProxySource source;
            if (!value(text)) {
                return false;
            }
            if (!source.Parse(text)) {
                error = "--proxy-from " + text + ": expected ADDR or ADDR/BITS (numeric)";
                return false;
            }
            proxyFrom.push_back(source);
        } else if (a == "--workdir") {
            if (!value(workdir)) {
                return false;
            }
        } else if (a == "--session") {
            if (!value(session)) {
                return false;
            }
        } else if (a == "--max-sessions") {
            long number = 0;
            if (!value(text)) {
                return false;
            }
            if (!ParseNumber(text, 1, 100000, number)) {
                error = "--max-sessions " + text + ": expected a number from 1 to 100000";
                return false;
            }
            maxSessions = static_cast<int>(number);
        } else if (a == "--max-startups-per-address") {
            long number = 0;
            if (!value(text)) {
                return false;
            }
            if (!ParseNumber(text, 1, 100000, number)) {
                error =
                    "--max-startups-per-address " + text + ": expected a number from 1 to 100000";
                return false;
            }
            maxStartupsPerAddress = static_cast<int>(number);
        } else if (a == "--control") {
            if (!value(control)) {
                return false;
            }
            if (control.empty() || control[0] != '/') {
                error = "--control " + control + ": expected an absolute path";
                return false;
            }
        } else if (a == "--list") {
            list = true;
        } else if (a == "--end") {
            long number = 0;
            if (!value(text)) {
                return false;
            }
            if (!ParseNumber(text, 1, INT_MAX, number)) {
                error = "--end " + text + ": expected a session's process id";
                return false;
            }
            end = static_cast<int>(number);
        } else if (a == "--debug") {
            debug = true;
        } else if (a == "--genkey") {
            genkey = true;
        } else if (a == "--check-config") {
            checkConfig = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    if (listen.empty()) {
        listen.push_back(ZavdListen{"127.0.0.1", kDefaultPort});
    }
    // A PROXY header names any address it likes: it is taken only from the load
    // balancers named, never from everybody.
    const bool proxied =
        std::any_of(listen.begin(), listen.end(), [](const ZavdListen& l) { return l.proxy; });
    if (proxied && proxyFrom.empty()) {
        error =
            "a --listen with ,proxy needs --proxy-from ADDR[/BITS] naming the load "
            "balancers allowed to send PROXY headers";
        return false;
    }
    if (!proxied && !proxyFrom.empty()) {
        error = "--proxy-from is given but no --listen has ,proxy";
        return false;
    }
    if (list && end != 0) {
        error = "--list and --end are one request each";
        return false;
    }
    if (control.empty()) {
        control = ZavdControl::kDefaultPath;
    }
    if (workdir.empty()) {
        char cwd[PATH_MAX];
        workdir = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
    }
    if (session.empty()) {
        session = DefaultSession();
    }
    return true;
}

std::string ZavdOptions::Usage() {
    return "usage: zavd [options]\n"
           "Accepts SSH clients on TCP and starts one brisel session for each connection.\n"
           "\n"
           "  --listen ADDR:PORT   listen there; repeatable; [ADDR]:PORT for IPv6\n"
           "                       (default: the sockets passed by systemd, else\n"
           "                       127.0.0.1:2222)\n"
           "  --listen ADDR:PORT,proxy\n"
           "                       every connection there starts with a PROXY header\n"
           "                       (versions 1 and 2) naming the client\n"
           "  --proxy-from ADDR[/BITS]\n"
           "                       take PROXY headers from that network only; repeatable;\n"
           "                       required with a proxy listener\n"
           "  --workdir DIR        the directory holding zav.ini, where sessions run\n"
           "                       (default the current directory)\n"
           "  --session PATH       the session program (default brisel beside zavd,\n"
           "                       else " ZAV_INSTALLED_SESSION
           " from zavd's directory)\n"
           "  --debug              start sessions with -debug:1: no password check, the\n"
           "                       shell runs under zavd's own account (refused as root)\n"
           "  --max-startups-per-address N\n"
           "                       close connections from an address that already has N\n"
           "                       sessions not logged on yet (default 10)\n"
           "  --max-sessions N     close connections beyond N live sessions at once\n"
           "                       (default 100)\n"
           "  --control PATH       the control socket that --list and --end ask, answered\n"
           "                       for root only (default /run/zav/zavd.sock)\n"
           "  --list               print the running zavd's sessions (process id, user,\n"
           "                       client, state, detached since, started, foreground\n"
           "                       program), then exit\n"
           "  --end PID            ask the running zavd to end session PID and all its\n"
           "                       user started in it, then exit (1: no such session)\n"
           "  --genkey             create the key-set file named by rsakey_file in the\n"
           "                       workdir's zav.ini if it is missing, then exit\n"
           "  --check-config       check zav.ini and the files it names (the sessions'\n"
           "                       settings through the session program's own check),\n"
           "                       report each problem on standard error and exit\n"
           "                       (1: problems found)\n"
           "  --version            show the version\n"
           "  --help, -h           show this text\n"
           "\n"
           "One line per connection goes to standard error. SIGTERM or SIGINT stops zavd;\n"
           "its sessions then end with the service-stopped message.\n";
}
