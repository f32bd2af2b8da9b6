// The radio interface: serving cell, signal quality and operator, answered and notified through
// callbacks on the radio's own thread. The backend is "Backend" of Software\Quorvale\Radio:
// "none" (the default: no radio, RIL_Initialize fails), "scripted" (a `ferrox-sim radio` on the
// Unix socket "Link") or "modemmanager" (the system's modems over D-Bus).
#pragma once
#include <cstddef>
#include "platform/types.h"

typedef HANDLE HRIL;
typedef LONG HRESULT;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

// Result codes of the result callback.
constexpr DWORD RIL_RESULT_OK = 0x00000001;
constexpr DWORD RIL_RESULT_ERROR = 0x00000003;
// Notification classes and codes.
constexpr DWORD RIL_NCLASS_MISC = 0x00400000;
constexpr DWORD RIL_NOTIFY_SIGNALQUALITY = 0x00400005;
constexpr DWORD RIL_NOTIFY_SYSTEMCHANGED = 0x00040005;
// Operator name formats.
constexpr DWORD RIL_OPFORMAT_NUM = 3;

typedef void (*RILRESULTCALLBACK)(DWORD code, HRESULT command, const void* data, DWORD size, DWORD param);
typedef void (*RILNOTIFYCALLBACK)(DWORD code, const void* data, DWORD size, DWORD param);

// A 5G (NR) cell's 36-bit id does not fit the 32-bit cell id: its top four bits go into the area
// code with a mark no other radio's area reaches (GSM, UMTS and LTE areas are 16-bit), beside its
// 24-bit tracking area. Every (TAC, NCI) keeps its own pair, and no pair of another radio is one.
constexpr DWORD kNrAreaMark = 0x40000000u;
inline void PackNrCell(DWORD tac, unsigned long long nci, DWORD* area, DWORD* cell) {
  *area = kNrAreaMark | static_cast<DWORD>((nci >> 32) & 0xF) << 24 | (tac & 0xFFFFFF);
  *cell = static_cast<DWORD>(nci & 0xFFFFFFFFu);
}

struct RILCELLTOWERINFO {
  DWORD cbSize;
  DWORD dwParams;
  DWORD dwMobileCountryCode;
  DWORD dwMobileNetworkCode;
  DWORD dwLocationAreaCode;
  DWORD dwCellID;
  DWORD dwBaseStationID;
  DWORD dwBroadcastControlChannel;
  DWORD dwRxLevel;
  DWORD dwRxLevelFull;
  DWORD dwRxLevelSub;
  DWORD dwRxQuality;
  DWORD dwRxQualityFull;
  DWORD dwRxQualitySub;
  DWORD dwIdleTimeSlot;
  DWORD dwTimingAdvance;
  DWORD dwGPRSCellID;
  DWORD dwGPRSBaseStationID;
  DWORD dwNumBCCH;
  BYTE rgbBCCH[48];
  BYTE rgbNMR[16];
};
static_assert(sizeof(RILCELLTOWERINFO) == 140);
static_assert(offsetof(RILCELLTOWERINFO, dwCellID) == 20);
static_assert(offsetof(RILCELLTOWERINFO, dwTimingAdvance) == 60);
static_assert(offsetof(RILCELLTOWERINFO, dwGPRSCellID) == 64);
static_assert(offsetof(RILCELLTOWERINFO, rgbBCCH) == 76);

struct RILSIGNALQUALITY {
  DWORD cbSize;
  DWORD dwParams;
  int nSignalStrength;  // dBm
  int nMinSignalStrength;
  int nMaxSignalStrength;
  DWORD dwBitErrorRate;  // hundredths of a percent
  int nLowSignalStrength;
  int nHighSignalStrength;
};
static_assert(sizeof(RILSIGNALQUALITY) == 32);
static_assert(offsetof(RILSIGNALQUALITY, nSignalStrength) == 8);
static_assert(offsetof(RILSIGNALQUALITY, nHighSignalStrength) == 28);

struct RILOPERATORNAMES {
  DWORD cbSize;
  DWORD dwParams;
  char szLongName[32];
  char szShortName[16];
  char szNumName[16];
  char szCountryCode[8];
};
static_assert(sizeof(RILOPERATORNAMES) == 80);
static_assert(offsetof(RILOPERATORNAMES, szNumName) == 56);

// S_OK with a handle, or a failure (no radio, backend refused).
HRESULT RIL_Initialize(DWORD index, RILRESULTCALLBACK result, RILNOTIFYCALLBACK notify, DWORD classes, DWORD param,
                       HRIL* ril);
// Ends the radio's thread; when it returns no callback of this handle runs or will run.
HRESULT RIL_Deinitialize(HRIL ril);
// Requests: a positive command id whose answer comes to the result callback, or a failure.
HRESULT RIL_GetCellTowerInfo(HRIL ril);
HRESULT RIL_GetSignalQuality(HRIL ril);
HRESULT RIL_GetCurrentOperator(HRIL ril, DWORD format);
