// The phone's sensor device as a service module: "SEN0:" with the I/O controls of
// platform/sensor_ioctl.h, its readings from the backend the registry names
// (Software\Quorvale\Sensors: "Backend" = auto, iio, proxy, script:PATH or none; "IioRoot").
#pragma once
#include "platform/types.h"

constexpr LPCWSTR kSensorSettingsKey = u"Software\\Quorvale\\Sensors";

extern "C" {
DWORD SEN_Init(LPCWSTR context, const void* busContext);
BOOL SEN_Deinit(DWORD context);
DWORD SEN_Open(DWORD context, DWORD access, DWORD share);
BOOL SEN_Close(DWORD openContext);
DWORD SEN_Read(DWORD openContext, LPVOID buffer, DWORD count);
DWORD SEN_Write(DWORD openContext, const void* data, DWORD count);
DWORD SEN_Seek(DWORD openContext, LONG amount, WORD type);
BOOL SEN_IOControl(DWORD openContext, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength,
                   DWORD* actual);
void SEN_PowerUp(DWORD context);
void SEN_PowerDown(DWORD context);
}

// The name of the backend in use ("none" before Init or without sensors).
const char* SensorBackendName();
