// zavd's command line.
#pragma once

#include <string>
#include <vector>

#include "service/ZavdProxySource.h"

struct ZavdListen {
    std::string host;  // numeric IPv4 or IPv6 address
    int port = 0;
    bool proxy = false;  // ",proxy": every connection starts with a PROXY header
};

class ZavdOptions {
  public:
    static constexpr int kDefaultPort = 2222;
    static constexpr int kDefaultMaxSessions = 100;
    static constexpr int kDefaultMaxStartupsPerAddress = 10;

    // False with a message in error for a command line that cannot be used.
    bool Parse(const std::vector<std::string>& arguments, std::string& error);
    static std::string Usage();

    std::vector<ZavdListen> listen;  // default 127.0.0.1:2222
    bool listenGiven = false;        // false: no --listen, listen holds the default
    std::string workdir;             // default the current directory
    std::string session;             // default brisel beside zavd, else the installed one
    bool debug = false;
    int maxSessions = kDefaultMaxSessions;
    // Sessions of one client address that have not logged on yet, at most.
    int maxStartupsPerAddress = kDefaultMaxStartupsPerAddress;
    // Where PROXY headers are taken from; required with a proxy listener.
    std::vector<ZavdProxySource> proxyFrom;
    // The control socket zavd answers on, and --list and --end ask.
    std::string control;
    bool list = false;  // print the running zavd's sessions and exit
    int end = 0;        // ask the running zavd to end this session, and exit
    bool genkey = false;
    bool checkConfig = false;  // check the settings, report and exit
    bool help = false;
    bool version = false;
};

// "ADDR:PORT" or "[ADDR]:PORT" into a listening address; false when it is not one.
bool ParseListen(const std::string& text, ZavdListen& out);
