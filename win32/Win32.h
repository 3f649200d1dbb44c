// The Windows-shaped seam: the platform types, constants and calls that the session's
// classes are written against. Everything below this header (descriptors, termios, PAM,
// libssh, /proc) is Linux; everything above it sees only these names. Every name here is
// the Windows API's own; what this project adds beside them has a plain name and a header
// of its own (ErrnoFailure.h, ExitSignal.h, DescriptorWait.h, PamErrorCode.h,
// ConsoleDefaultColours.h, ProcessPrivacy.h, LocalSocket.h, PassedSocket.h, WholeWrite.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using SHORT = std::int16_t;
using WCHAR = char16_t;
using UINT = unsigned int;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// An opaque reference to a kernel object kept in the process's handle table. Handles
// are small integers in pointer form, so a null handle is never a valid one.
using HANDLE = void*;
using HWND = HANDLE;
using HWINSTA = HANDLE;
using HDESK = HANDLE;
using SOCKET = std::intptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
constexpr SOCKET INVALID_SOCKET = -1;

// ---- console records ----------------------------------------------------------------

struct COORD {
    SHORT X;
    SHORT Y;
};

struct SMALL_RECT {
    SHORT Left;
    SHORT Top;
    SHORT Right;
    SHORT Bottom;
};

struct CHAR_INFO {
    WCHAR UnicodeChar;
    WORD Attributes;
};

struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// ---- constants ------------------------------------------------------------------------

constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// Cell attribute bits.
constexpr WORD FOREGROUND_BLUE = 0x0001;
constexpr WORD FOREGROUND_GREEN = 0x0002;
constexpr WORD FOREGROUND_RED = 0x0004;
constexpr WORD FOREGROUND_INTENSITY = 0x0008;
constexpr WORD BACKGROUND_BLUE = 0x0010;
constexpr WORD BACKGROUND_GREEN = 0x0020;
constexpr WORD BACKGROUND_RED = 0x0040;
constexpr WORD BACKGROUND_INTENSITY = 0x0080;
constexpr WORD COMMON_LVB_LEADING_BYTE = 0x0100;
constexpr WORD COMMON_LVB_TRAILING_BYTE = 0x0200;
constexpr WORD COMMON_LVB_UNDERSCORE = 0x8000;

// Console input modes.
constexpr DWORD ENABLE_PROCESSED_INPUT = 0x0001;
constexpr DWORD ENABLE_LINE_INPUT = 0x0002;
constexpr DWORD ENABLE_ECHO_INPUT = 0x0004;

// Console control events.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

// Processes.
constexpr DWORD PROCESS_ALL_ACCESS = 0x1F0FFF;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;

// Window station and desktop.
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD SE_WINDOW_OBJECT = 7;
constexpr DWORD DACL_SECURITY_INFORMATION = 0x00000004;
constexpr DWORD PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000;
constexpr DWORD DESKTOP_ACCESS_ALL = 0x10060081;

// Keyboard messages and virtual keys.
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_SYSKEYDOWN = 0x0104;
constexpr UINT WM_SYSKEYUP = 0x0105;
constexpr UINT WM_SYSCHAR = 0x0106;

constexpr DWORD VK_BACK = 0x08;
constexpr DWORD VK_TAB = 0x09;
constexpr DWORD VK_RETURN = 0x0D;
constexpr DWORD VK_ESCAPE = 0x1B;
constexpr DWORD VK_SPACE = 0x20;
constexpr DWORD VK_PRIOR = 0x21;
constexpr DWORD VK_NEXT = 0x22;
constexpr DWORD VK_END = 0x23;
constexpr DWORD VK_HOME = 0x24;
constexpr DWORD VK_LEFT = 0x25;
constexpr DWORD VK_UP = 0x26;
constexpr DWORD VK_RIGHT = 0x27;
constexpr DWORD VK_DOWN = 0x28;
constexpr DWORD VK_INSERT = 0x2D;
constexpr DWORD VK_DELETE = 0x2E;
constexpr DWORD VK_F1 = 0x70;
constexpr DWORD VK_F12 = 0x7B;

// Logon.
constexpr DWORD LOGON32_LOGON_INTERACTIVE = 2;
constexpr DWORD LOGON32_PROVIDER_DEFAULT = 0;

// Error message formatting.
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

// ---- last-error code (thread-local) ---------------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD code);

// ---- process, thread and time ---------------------------------------------------------

DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
void GetSystemTime(SYSTEMTIME* time);
void Sleep(DWORD milliseconds);
// Milliseconds of a monotonic clock, wrapping after about 49.7 days.
DWORD GetTickCount();
// Ends the process at once with the code: no destructors, no buffered output flushed.
[[noreturn]] void ExitProcess(UINT exitCode);

// The whole command line: /proc/self/cmdline with its arguments joined by single blanks.
std::string GetCommandLineA();

// TRUE when the process runs with the system's full rights (as root).
BOOL IsUserAnAdmin();

// Zeroes memory in a way the compiler never leaves out (explicit_bzero).
void SecureZeroMemory(void* memory, std::size_t size);

// ---- environment ----------------------------------------------------------------------

// Copies the value and its terminator into buffer when it fits and returns its length;
// returns the needed size (terminator included) when it does not fit, 0 when unset.
DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size);
// A null value removes the variable.
BOOL SetEnvironmentVariableA(const char* name, const char* value);

// ---- error text -----------------------------------------------------------------------

// FormatMessageA from the system table: the text of code followed by CR LF in text,
// and its length; 0 (and text unchanged) for a code the system does not know.
DWORD FormatMessageA(DWORD flags, DWORD code, std::string& text);

// ---- code pages ---------------------------------------------------------------------------

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// Converts UTF-16 units into the bytes of a code page: 0 is the locale's charset (UTF-8
// under the C locale), 65001 UTF-8, 28591 ISO-8859-1, any other N the charset CP<N>.
// Returns the number of bytes, 0 (error code set) when a unit cannot be converted.
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* text, int count, char* buffer,
                        int size, const char* defaultChar, BOOL* usedDefault);
// TRUE when WideCharToMultiByte can convert into the code page (its charset is known here).
BOOL IsValidCodePage(UINT codePage);

// ---- profile files ---------------------------------------------------------------------

// The value of key in section of the INI file at path (Windows-style backslashes are
// accepted), or the default when the file, section or key is absent. At most size - 1
// characters are copied, followed by a terminator; returns the number copied.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                               char* buffer, DWORD size, const char* path);

// ---- handles and processes ---------------------------------------------------------------

BOOL CloseHandle(HANDLE handle);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
// Waits until the process ends (or the event is set, which resets it) or the time-out
// passes: WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// As WaitForSingleObject for the first of count handles (waitAll must be FALSE):
// WAIT_OBJECT_0 + its index, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
// An unnamed event (an eventfd); only auto-reset events, initially clear, are made here.
HANDLE CreateEventA(void* attributes, BOOL manualReset, BOOL initialState, const char* name);

// ---- anonymous pipes -----------------------------------------------------------------

// Error codes are errno values: a pipe whose other end is gone, and a non-waiting pipe
// with nothing to read or no room.
constexpr DWORD ERROR_BROKEN_PIPE = 32;  // EPIPE
constexpr DWORD ERROR_NO_DATA = 11;      // EAGAIN
constexpr DWORD PIPE_WAIT = 0x0;
constexpr DWORD PIPE_NOWAIT = 0x1;
// Both ends of a new pipe, each close-on-exec (a program gets one only as a standard
// handle). A size of 0 keeps the system's.
BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, void* attributes, DWORD size);
// PIPE_NOWAIT makes reads and writes on this end return at once: a read with nothing
// to read fails with ERROR_NO_DATA, a write takes what fits (possibly nothing).
BOOL SetNamedPipeHandleState(HANDLE pipe, DWORD* mode, DWORD* maxCollection, DWORD* timeout);
// A read of the end of the pipe fails with ERROR_BROKEN_PIPE once the writer is gone and
// everything written was read; a write, once the reader is gone.
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* written, void* overlapped);
BOOL SetEvent(HANDLE event);
DWORD GetProcessId(HANDLE process);

// Starting programs. The command line runs as /bin/sh -c "exec <command line>" on the
// console (a new session with the console as controlling terminal and descriptors 0-2,
// nothing else inherited), in the current directory, with the process's environment.
struct STARTUPINFOA {
    DWORD cb;
    char* lpReserved;
    char* lpDesktop;
    char* lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
constexpr DWORD STARTF_USESHOWWINDOW = 0x1;
// hStdInput, hStdOutput and hStdError (pipe ends) become the program's descriptors 0-2
// instead of the console.
constexpr DWORD STARTF_USESTDHANDLES = 0x100;
constexpr WORD SW_SHOW = 5;

BOOL CreateProcessA(const char* application, char* commandLine, void* processAttributes,
                    void* threadAttributes, BOOL inherit, DWORD flags, void* environment,
                    const char* directory, STARTUPINFOA* startup, PROCESS_INFORMATION* process);
// As CreateProcessA, as the account the token holds: its groups, gid and uid, with HOME,
// USER, LOGNAME and SHELL set to the account's.
BOOL CreateProcessAsUserA(HANDLE token, const char* application, char* commandLine,
                          void* processAttributes, void* threadAttributes, BOOL inherit,
                          DWORD flags, void* environment, const char* directory,
                          STARTUPINFOA* startup, PROCESS_INFORMATION* process);

// Checks name and password with the system's authentication (PAM service "brisel") and
// returns a token for the account. A refusal sets the PAM result (win32/PamErrorCode.h); an
// unknown user is refused like a wrong password.
BOOL LogonUserA(const char* user, const char* domain, const char* password, DWORD logonType,
                DWORD provider, HANDLE* token);

// ---- modules and the functions looked up at run time ---------------------------------------

using HMODULE = HANDLE;
using FARPROC = void (*)();
// "KERNEL32.DLL" offers the job functions where a writable cgroup v2 hierarchy exists;
// "PSAPI.DLL" EnumProcesses and "NTDLL.DLL" NtQueryInformationProcess over /proc.
HMODULE LoadLibraryA(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);
constexpr int ProcessBasicInformation = 0;
constexpr int ProcessSessionInformation = 24;
struct PROCESS_BASIC_INFORMATION {
    std::int32_t ExitStatus;
    DWORD PebBaseAddress;
    DWORD AffinityMask;
    std::int32_t BasePriority;
    DWORD UniqueProcessId;
    DWORD InheritedFromUniqueProcessId;
};
// The process's session: on this platform the id of its session leader.
struct PROCESS_SESSION_INFORMATION {
    DWORD SessionId;
};

// ---- console control (the console's own calls are in console/WinCon.h) ---------------

// SIGINT, SIGQUIT and SIGHUP reach the handler (as Ctrl+C, Ctrl+Break and close events)
// on a thread of their own instead of ending the process; SIGPIPE is ignored. Call it
// before other threads start, so that they all leave these signals to that thread.
using PHANDLER_ROUTINE = BOOL (*)(DWORD event);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// ---- sockets -----------------------------------------------------------------------------

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
};

// The record that describes a socket handed to another process: 372 bytes, laid out as
// the platform's. Only the address family, type and protocol carry meaning here; the
// socket itself travels beside the record (see transport/).
struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
struct WSAPROTOCOLCHAIN {
    int ChainLen;
    DWORD ChainEntries[7];
};
struct WSAPROTOCOL_INFOA {
    DWORD dwServiceFlags1;
    DWORD dwServiceFlags2;
    DWORD dwServiceFlags3;
    DWORD dwServiceFlags4;
    DWORD dwProviderFlags;
    GUID ProviderId;
    DWORD dwCatalogEntryId;
    WSAPROTOCOLCHAIN ProtocolChain;
    int iVersion;
    int iAddressFamily;
    int iMaxSockAddr;
    int iMinSockAddr;
    int iSocketType;
    int iProtocol;
    int iProtocolMaxOffset;
    int iNetworkByteOrder;
    int iSecurityScheme;
    DWORD dwMessageSize;
    DWORD dwProviderReserved;
    char szProtocol[256];
};
static_assert(sizeof(WSAPROTOCOL_INFOA) == 372);

// Nothing to start on this platform: succeeds and reports version 1.1 to 2.2.
int WSAStartup(WORD version, WSADATA* data);

// ---- window station and desktop ----------------------------------------------------------

HWINSTA OpenWindowStationA(const char* name, BOOL inherit, DWORD access);
HDESK OpenDesktopA(const char* name, DWORD flags, BOOL inherit, DWORD access);
DWORD SetSecurityInfo(HANDLE object, DWORD objectType, DWORD securityInfo, const void* owner,
                      const void* group, const void* dacl, const void* sacl);
BOOL SetProcessWindowStation(HWINSTA station);
BOOL SetThreadDesktop(HDESK desktop);
