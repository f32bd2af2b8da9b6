// The radio watch: asks the radio for the serving cell, the operator and the signal, and hands a
// new cell (or a new distance from it) to the publication.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include "cell_service/cell_db.h"
#include "cell_service/web_lookup.h"
#include "service_internal.h"
#include "support/log.h"

std::atomic<LONG> g_Running{0};

namespace {

struct RadioState {
  RILOPERATORNAMES op;
  RILSIGNALQUALITY signal;
  RILCELLTOWERINFO cell;
  DWORD systemType;
  HRESULT cellRequest, signalRequest, operatorRequest;
  HRIL radio;
  int distanceRatio;
  DWORD lastCid;
  int lastRatio;
};

RadioState g_radio;
// Callbacks and the start and stop paths update g_radio under this lock; the radio is never ended
// under it (its end waits for a running callback, which may be waiting for the lock).
CRITICAL_SECTION g_radioLock;
struct RadioLockInit {
  RadioLockInit() { InitializeCriticalSection(&g_radioLock); }
} g_radioLockInit;
// Start and stop one at a time, so that two starts never leave two radios.
std::mutex g_watchLock;

const struct {
  DWORD value;
  const char* name;
} kSystemTypes[] = {{0, "None"},          {1, "CSwitched"},      {2, "IS-95B"},        {4, "CDMA (1xRTT)"},
                    {8, "GSM"},           {16, "GPRS"},          {32, "EDGE"},         {64, "CDMA (1xEVDO)"},
                    {128, "CDMA (1xEVDV)"}, {256, "UMTS/3G"},    {512, "HSDPA"}};

const char* SystemName(DWORD type) {
  for (const auto& t : kSystemTypes)
    if (t.value == type) return t.name;
  return "UnKnown";
}

void LogSignal(const char* what, const RILSIGNALQUALITY& s) {
  LogPrintf(LOG_CRLF, "%s: Cur=%d, Min=%d, Max=%d, Low=%d, High=%d, BitErrRate=%.2f", what, s.nSignalStrength,
            s.nMinSignalStrength, s.nMaxSignalStrength, s.nLowSignalStrength, s.nHighSignalStrength,
            s.dwBitErrorRate * 0.01);
}

// A name field of the operator answer as a terminated string (the radio need not terminate it).
template <size_t N>
void Terminated(const char (&field)[N], char (&out)[N + 1]) {
  memcpy(out, field, N);
  out[N] = 0;
}

// Fills MNC and MCC the cell answer left at 0 from the operator's numeric name "MCCMNC".
void TakeOperatorCodes() {
  char numeric[17];
  Terminated(g_radio.op.szNumName, numeric);
  if (g_radio.cell.dwMobileNetworkCode == 0 && strlen(numeric) > 3)
    g_radio.cell.dwMobileNetworkCode = static_cast<DWORD>(strtoul(numeric + 3, nullptr, 10));
  if (g_radio.cell.dwMobileCountryCode == 0) {
    numeric[3] = 0;
    g_radio.cell.dwMobileCountryCode = static_cast<DWORD>(strtoul(numeric, nullptr, 10));
    if (g_radio.cell.dwMobileCountryCode == 0) g_radio.cell.dwMobileCountryCode = g_Cells.CurMcc;
  }
}

}  // namespace

int DistanceRatio(int signal, int minimum, int maximum) {
  int weakest = abs(minimum), strongest = abs(maximum);
  // A radio that gives no range (both equal): the range of GSM receive levels.
  if (weakest == strongest) {
    weakest = 113;
    strongest = 51;
  }
  int q = ((abs(signal) - strongest + 5) * 100) / ((weakest - strongest) * 10);
  int ratio = q > 10 ? 10 : (q < 1 ? 1 : q);
  LogPrintf(LOG_CRLF, "Distance from Tower (ratio): %d", ratio);
  return ratio;
}

void ResetRadioState() {
  std::lock_guard<std::mutex> serial(g_watchLock);
  EnterCriticalSection(&g_radioLock);
  HRIL radio = g_radio.radio;
  g_radio = RadioState{};
  g_radio.radio = radio;
  LeaveCriticalSection(&g_radioLock);
}

bool RadioHandleHeld() {
  EnterCriticalSection(&g_radioLock);
  bool held = g_radio.radio != nullptr;
  LeaveCriticalSection(&g_radioLock);
  return held;
}

void StartRadioWatch(bool quiet) {
  std::lock_guard<std::mutex> serial(g_watchLock);
  g_Running = 0;
  EnterCriticalSection(&g_radioLock);
  HRIL old = g_radio.radio;
  g_radio.radio = nullptr;
  LeaveCriticalSection(&g_radioLock);
  if (old) {
    RIL_Deinitialize(old);
    Sleep(50);
  }
  HRIL radio = nullptr;
  HRESULT result = RIL_Initialize(1, RadioResult, RadioNotify, RIL_NCLASS_MISC, 0, &radio);
  if (result == S_OK || result == S_FALSE) {
    // The requests are sent under the lock: their answers wait for it, so they find the ids.
    EnterCriticalSection(&g_radioLock);
    g_radio.radio = radio;
    g_Running = 1;
    memset(&g_radio.cell, 0, sizeof g_radio.cell);
    memset(&g_radio.signal, 0, sizeof g_radio.signal);
    g_radio.operatorRequest = RIL_GetCurrentOperator(radio, RIL_OPFORMAT_NUM);
    g_radio.cellRequest = RIL_GetCellTowerInfo(radio);
    g_radio.signalRequest = RIL_GetSignalQuality(radio);
    LeaveCriticalSection(&g_radioLock);
    if (!quiet) LogLine(LOG_CRLF | LOG_CLOSE, "Ril Init OK");
  } else if (!quiet) {
    LogLine(LOG_CRLF, "Ril Init Failed");
  }
}

void StopRadioWatch(bool quiet) {
  CancelWebLookups();  // a lookup in progress ends within a second: nothing below waits for a server
  std::lock_guard<std::mutex> serial(g_watchLock);
  g_Running = 0;
  EnterCriticalSection(&g_radioLock);
  HRIL radio = g_radio.radio;
  g_radio.radio = nullptr;
  LeaveCriticalSection(&g_radioLock);
  if (radio) RIL_Deinitialize(radio);
  LockCellData();
  CloseCellDb();
  UnlockCellData();
  if (!quiet) LogLine(LOG_CRLF | LOG_CLOSE, "Ril Stop");
}

void RadioNotify(DWORD code, const void* data, DWORD size, DWORD) {
  if (code == RIL_NOTIFY_SYSTEMCHANGED && data && size >= sizeof(DWORD)) {
    DWORD type;
    memcpy(&type, data, sizeof type);
    EnterCriticalSection(&g_radioLock);
    g_radio.systemType = type;
    LeaveCriticalSection(&g_radioLock);
    LogPrintf(LOG_CRLF, "Notify System: %s", SystemName(type));
  } else if (code == RIL_NOTIFY_SIGNALQUALITY && data && size >= sizeof(RILSIGNALQUALITY)) {
    EnterCriticalSection(&g_radioLock);
    memcpy(&g_radio.signal, data, sizeof g_radio.signal);
    memset(&g_radio.cell, 0, sizeof g_radio.cell);
    if (g_radio.radio) g_radio.cellRequest = RIL_GetCellTowerInfo(g_radio.radio);
    RILSIGNALQUALITY s = g_radio.signal;
    LeaveCriticalSection(&g_radioLock);
    LogSignal("Notify Signal", s);
  }
}

void RadioResult(DWORD, HRESULT command, const void* data, DWORD size, DWORD) {
  EnterCriticalSection(&g_radioLock);
  RadioState& r = g_radio;
  if (command == r.cellRequest && data && size >= sizeof(RILCELLTOWERINFO)) {
    memcpy(&r.cell, data, sizeof r.cell);
    LogPrintf(LOG_CRLF, "CellTower: MCC=%u, MNC=%u, LAC=%u, CID=%u, BSI=%u, GCID=%u. GBSI=%u, Rxl=%u",
              r.cell.dwMobileCountryCode, r.cell.dwMobileNetworkCode, r.cell.dwLocationAreaCode, r.cell.dwCellID,
              r.cell.dwBaseStationID, r.cell.dwGPRSCellID, r.cell.dwGPRSBaseStationID, r.cell.dwRxLevel);
    if (r.cell.dwMobileNetworkCode == 0 || r.cell.dwMobileCountryCode == 0) {
      LogLine(LOG_CRLF, "Request Operator");
      if (r.radio) r.operatorRequest = RIL_GetCurrentOperator(r.radio, RIL_OPFORMAT_NUM);
    }
    if (r.cell.dwCellID == 0) {
      if (r.cell.dwGPRSCellID == 0) {
        LeaveCriticalSection(&g_radioLock);
        return;
      }
      LogLine(LOG_CRLF, "CellId used from GPRSCellId");
      r.cell.dwCellID = r.cell.dwGPRSCellID;
    }
  } else if (command == r.signalRequest && data && size >= sizeof(RILSIGNALQUALITY)) {
    memcpy(&r.signal, data, sizeof r.signal);
    LogSignal("Signal", r.signal);
  } else if (command == r.operatorRequest && data && size >= sizeof(RILOPERATORNAMES)) {
    memcpy(&r.op, data, sizeof r.op);
    char longName[33], shortName[17], numeric[17], country[9];
    Terminated(r.op.szLongName, longName);
    Terminated(r.op.szShortName, shortName);
    Terminated(r.op.szNumName, numeric);
    Terminated(r.op.szCountryCode, country);
    LogPrintf(LOG_CRLF, "Operator: %s, %s, %s, %s", longName, shortName, numeric, country);
    TakeOperatorCodes();
  }
  if (!r.cell.dwCellID || !r.signal.nSignalStrength || !r.cell.dwMobileCountryCode) {
    LeaveCriticalSection(&g_radioLock);
    return;
  }
  int ratio = DistanceRatio(r.signal.nSignalStrength, r.signal.nMinSignalStrength, r.signal.nMaxSignalStrength);
  r.distanceRatio = ratio;
  bool changed = ratio != r.lastRatio || r.cell.dwCellID != r.lastCid;
  ServingCell cell{r.cell.dwMobileCountryCode, r.cell.dwMobileNetworkCode, r.cell.dwLocationAreaCode,
                   r.cell.dwCellID, r.cell.dwTimingAdvance, r.signal.nSignalStrength};
  LeaveCriticalSection(&g_radioLock);
  // The publication may wait for the network: it runs without the radio lock.
  bool published = changed && PublishCell(cell);
  EnterCriticalSection(&g_radioLock);
  if (published) {
    r.lastCid = cell.Cid;
    r.lastRatio = ratio;
  }
  memset(&r.signal, 0, sizeof r.signal);
  LeaveCriticalSection(&g_radioLock);
  LogLine(LOG_CRLF | LOG_CLOSE, "Waiting for Notification\r\n");
}
