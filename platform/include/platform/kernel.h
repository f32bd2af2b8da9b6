// Kernel objects: events, threads, waits, last error, interlocked operations.
#pragma once
#include <string>
#include "platform/types.h"

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);
// Threads blocked waiting on the event or thread `h` now (-1: not one), for a caller that must
// know a wait has begun before it ends it.
int PlatformWaiters(HANDLE h);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, DWORD stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode);
BOOL TerminateThread(HANDLE h, DWORD exitCode);
BOOL CloseHandle(HANDLE h);
// A descriptor that becomes readable at each SetEvent of the event (read it to clear it), for a
// Linux program's poll loop; it lives as long as the event. -1 for a handle that is no event.
int PlatformEventFd(HANDLE event);
DWORD GetLastError();
void SetLastError(DWORD error);
// The system's text for an error code (FORMAT_MESSAGE_FROM_SYSTEM only): the characters written
// without the terminator, 0 when the code has no text or the buffer is too small.
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     void* arguments);
// An error code as a person reads it: "The device is not ready (error 21)", or "error N" alone for
// a code without a text.
std::string PlatformErrorText(DWORD code);

LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand);
void* InterlockedCompareExchangePointer(void* volatile* target, void* exchange, void* comparand);
LONG InterlockedExchange(volatile LONG* target, LONG value);
LONG InterlockedIncrement(volatile LONG* target);
LONG InterlockedDecrement(volatile LONG* target);

// Critical sections (recursive, as on the platform).
struct CRITICAL_SECTION {
  void* impl;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);

// Number of kernel handles open in this process (for leak checks in tests).
int PlatformOpenHandleCount();
