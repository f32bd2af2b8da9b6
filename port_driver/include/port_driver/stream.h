// The stream interface of the driver: the device manager finds these entry points by name.
#pragma once
#include "platform/types.h"

extern "C" {
DWORD COM_Init(LPCWSTR context, const void* busContext);
BOOL COM_Deinit(DWORD context);
DWORD COM_Open(DWORD context, DWORD access, DWORD share);
BOOL COM_Close(DWORD handle);
DWORD COM_Read(DWORD handle, LPVOID buffer, DWORD count);
DWORD COM_Write(DWORD handle, const void* data, DWORD count);
DWORD COM_Seek(DWORD handle, LONG amount, WORD type);
BOOL COM_IOControl(DWORD handle, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual);
void COM_PowerUp(DWORD context);
void COM_PowerDown(DWORD context);
}
