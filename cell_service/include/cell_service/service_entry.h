// The cell service's stream interface: reached as "TWK1:", everything goes through I/O controls.
#pragma once
#include "platform/types.h"

constexpr DWORD kServiceContext = 0x1480;
constexpr DWORD kServiceHandle = 0x1481;
// Control commands.
constexpr DWORD kControlMapTowers = 0x1000;
constexpr DWORD kControlUpdateDb = 0x1001;
constexpr DWORD kControlMapAllTowers = 0x1002;  // the tower map with the imported cells too

extern "C" {
DWORD TWK_Init(LPCWSTR context, const void* busContext);
BOOL TWK_Deinit(DWORD context);
DWORD TWK_Open(DWORD context, DWORD access, DWORD share);
BOOL TWK_Close(DWORD handle);
DWORD TWK_Read(DWORD handle, LPVOID buffer, DWORD count);
DWORD TWK_Write(DWORD handle, const void* data, DWORD count);
DWORD TWK_Seek(DWORD handle, LONG amount, WORD type);
BOOL TWK_IOControl(DWORD handle, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual);
void TWK_PowerUp(DWORD context);
void TWK_PowerDown(DWORD context);
}
