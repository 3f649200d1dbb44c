// Last-error code, identities, time, command line and environment.
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "win32/ErrnoFailure.h"
#include "win32/PamErrorCode.h"
#include "win32/Win32.h"

namespace {
thread_local DWORD t_lastError = 0;
std::mutex g_environmentMutex;

// Process and thread ids are asked for on every trace line; each would be a system call.
// They are kept, and forgotten in a forked child, whose ids differ.
std::atomic<DWORD> g_processId{0};
thread_local DWORD t_threadId = 0;

void ForgetIds() {
    g_processId.store(0, std::memory_order_relaxed);
    t_threadId = 0;
}

const bool g_forkHandler = [] {
    ::pthread_atfork(nullptr, nullptr, &ForgetIds);
    return true;
}();
}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

DWORD GetCurrentProcessId() {
    DWORD pid = g_processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<DWORD>(::getpid());
        g_processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

DWORD GetCurrentThreadId() {
    if (t_threadId == 0) {
        t_threadId = static_cast<DWORD>(::gettid());
    }
    return t_threadId;
}

void GetSystemTime(SYSTEMTIME* time) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    time->wYear = static_cast<WORD>(utc.tm_year + 1900);
    time->wMonth = static_cast<WORD>(utc.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
    time->wDay = static_cast<WORD>(utc.tm_mday);
    time->wHour = static_cast<WORD>(utc.tm_hour);
    time->wMinute = static_cast<WORD>(utc.tm_min);
    time->wSecond = static_cast<WORD>(utc.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void ExitProcess(UINT exitCode) {
    ::_exit(static_cast<int>(exitCode));
}

namespace {
std::atomic<PHANDLER_ROUTINE> g_controlHandler{nullptr};

DWORD ControlEvent(int sig) {
    switch (sig) {
        case SIGINT:
            return CTRL_C_EVENT;
        case SIGQUIT:
            return CTRL_BREAK_EVENT;
        default:
            return CTRL_CLOSE_EVENT;
    }
}
}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    static std::once_flag started;
    if (add == FALSE) {
        g_controlHandler.store(nullptr);
        return TRUE;
    }
    g_controlHandler.store(handler);
    ::signal(SIGPIPE, SIG_IGN);
    std::call_once(started, [] {
        sigset_t signals;
        ::sigemptyset(&signals);
        ::sigaddset(&signals, SIGINT);
        ::sigaddset(&signals, SIGQUIT);
        ::sigaddset(&signals, SIGHUP);
        ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        // The handler runs on a thread of its own, where it may trace, instead of in a
        // signal handler.
        std::thread([signals] {
            for (;;) {
                int sig = 0;
                if (::sigwait(&signals, &sig) == 0) {
                    if (PHANDLER_ROUTINE h = g_controlHandler.load()) {
                        h(ControlEvent(sig));
                    }
                }
            }
        }).detach();
    });
    return TRUE;
}

int WSAStartup(WORD version, WSADATA* data) {
    if (data != nullptr) {
        data->wVersion = version;
        data->wHighVersion = 0x0202;
    }
    return 0;
}

std::string GetCommandLineA() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Arguments are NUL-terminated; the last terminator ends the line.
    if (!raw.empty() && raw.back() == '\0') {
        raw.pop_back();
    }
    for (char& c : raw) {
        if (c == '\0') {
            c = ' ';
        }
    }
    return raw;
}

DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
    std::lock_guard lock(g_environmentMutex);
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): guarded above
    if (value == nullptr) {
        SetLastError(ENOENT);
        return 0;
    }
    const std::size_t length = std::strlen(value);
    if (length + 1 > size) {
        return static_cast<DWORD>(length + 1);
    }
    std::memcpy(buffer, value, length + 1);
    return static_cast<DWORD>(length);
}

BOOL SetEnvironmentVariableA(const char* name, const char* value) {
    std::lock_guard lock(g_environmentMutex);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): guarded above
    const int rc = value == nullptr ? ::unsetenv(name) : ::setenv(name, value, 1);
    return rc == 0 ? TRUE : FailWithErrno();
}

BOOL IsUserAnAdmin() {
    return ::geteuid() == 0 ? TRUE : FALSE;
}

void SecureZeroMemory(void* memory, std::size_t size) {
    ::explicit_bzero(memory, size);
}
