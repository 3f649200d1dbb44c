// The console functions of the Windows-shaped seam, over the console engine: the
// process's console, created on first use, and the handles that refer to it.
#pragma once

#include "win32/Win32.h"

// The console is created on first use. Its output, input and window handles refer to it.
HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleScreenBufferInfo(HANDLE output, CONSOLE_SCREEN_BUFFER_INFO* info);
BOOL SetConsoleScreenBufferSize(HANDLE output, COORD size);
BOOL SetConsoleWindowInfo(HANDLE output, BOOL absolute, const SMALL_RECT* window);
BOOL SetConsoleCursorPosition(HANDLE output, COORD position);
BOOL WriteConsoleA(HANDLE output, const void* text, DWORD length, DWORD* written, void* reserved);
BOOL WriteConsoleW(HANDLE output, const void* text, DWORD length, DWORD* written, void* reserved);
BOOL ReadConsoleA(HANDLE input, void* buffer, DWORD length, DWORD* read, void* control);
// Characters into consecutive cells from coord on, their colours kept; the cursor stays.
BOOL WriteConsoleOutputCharacterW(HANDLE output, const WCHAR* characters, DWORD length, COORD coord,
                                  DWORD* written);
BOOL ReadConsoleOutputW(HANDLE output, CHAR_INFO* cells, COORD size, COORD origin,
                        SMALL_RECT* region);
DWORD GetConsoleTitleA(char* title, DWORD size);
BOOL SetConsoleTitleA(const char* title);
BOOL SetConsoleMode(HANDLE handle, DWORD mode);
BOOL GetConsoleMode(HANDLE handle, DWORD* mode);
HWND FindWindowA(const char* className, const char* windowName);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL GenerateConsoleCtrlEvent(DWORD event, DWORD processGroupId);
