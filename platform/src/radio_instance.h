// One initialised radio: its callbacks, what the radio last told, the requests waiting for their
// answer, and the thread on which every callback runs.
#pragma once
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include "platform/ril.h"

namespace platform {

enum class RadioRequest { Cell, Signal, Operator };

struct RadioInstance {
  RILRESULTCALLBACK result = nullptr;
  RILNOTIFYCALLBACK notify = nullptr;
  DWORD param = 0;

  std::mutex lock;  // the state and the requests
  RILCELLTOWERINFO cell{};
  bool haveCell = false;
  RILSIGNALQUALITY signal{};
  bool haveSignal = false;
  RILOPERATORNAMES op{};
  bool haveOperator = false;
  std::deque<std::pair<HRESULT, RadioRequest>> requests;
  HRESULT nextCommand = 1;

  int source = -1;  // the backend's descriptor (socket or bus), watched by the thread
  int wake = -1;    // eventfd: a request is queued, or the thread must end
  std::atomic<bool> stop{false};
  std::thread thread;
  std::thread::id threadId;
  std::string pending;  // a line of the scripted radio not yet complete
  void* bus = nullptr;  // the ModemManager backend's connection
  std::string modem;    // its modem's object path
};

// A line of the scripted radio ("cell MCC MNC LAC CID [GPRSCID [TA [RXLEVEL]]]", "signal S MIN MAX [BER]",
// "operator NUMERIC [LONG [SHORT]]", "system N"; "state ..." sets without notifying). Updates the
// state and calls the notify callback where the radio would notify. False for a line it can't read.
bool ApplyRadioLine(RadioInstance* radio, const std::string& line);
// Sends each queued request its answer from the current state (called on the radio's thread).
void AnswerRadioRequests(RadioInstance* radio);

// The scripted backend: connects to the simulator's socket; false when it refuses or is absent.
bool ScriptedRadioOpen(RadioInstance* radio, const std::string& link);
// Reads what the simulator sent; false when it has gone.
bool ScriptedRadioPump(RadioInstance* radio);
// The ModemManager backend (same contract), over the system bus or FERROX_SYSTEM_BUS.
bool ModemRadioOpen(RadioInstance* radio);
bool ModemRadioPump(RadioInstance* radio);
void ModemRadioClose(RadioInstance* radio);

}  // namespace platform
