// The radio interface: backend choice, the radio thread, requests and their answers.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include "handles.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "platform/wide.h"
#include "radio_instance.h"

using namespace platform;

namespace {

struct RadioObject : KObject {
  std::shared_ptr<RadioInstance> radio;
};

std::string Setting(LPCWSTR name, const char* fallback) {
  return PlatformReadText(u"Software\\Quorvale\\Radio", name, fallback);
}

void Wake(RadioInstance* radio) {
  std::lock_guard<std::mutex> lock(radio->lock);
  uint64_t one = 1;
  if (radio->wake >= 0 && write(radio->wake, &one, sizeof one) < 0) {
    // the counter is full: the thread is already due to wake
  }
}

constexpr DWORD kBusRetryMs = 2000;

void Run(std::shared_ptr<RadioInstance> radio, bool modem) {
  radio->threadId = std::this_thread::get_id();
  if (!modem && radio->source >= 0) ScriptedRadioPump(radio.get());  // what came with the first line
  while (!radio->stop) {
    pollfd watch[2] = {{radio->wake, POLLIN, 0}, {radio->source, POLLIN, 0}};
    // A ModemManager radio whose bus went is connected again, tried every couple of seconds.
    bool reconnect = modem && radio->source < 0;
    int n = poll(watch, radio->source >= 0 ? 2 : 1, reconnect ? static_cast<int>(kBusRetryMs) : -1);
    if (n < 0) continue;
    if (reconnect && n == 0) {
      if (ModemRadioOpen(radio.get())) {
        fprintf(stderr, "ModemManager: on the system bus again\n");
        RILSIGNALQUALITY signal;
        {
          std::lock_guard<std::mutex> lock(radio->lock);
          signal = radio->signal;
        }
        if (radio->notify) radio->notify(RIL_NOTIFY_SIGNALQUALITY, &signal, sizeof signal, radio->param);
      }
      continue;
    }
    if (watch[0].revents) {
      uint64_t count;
      if (read(radio->wake, &count, sizeof count) < 0) {
        // nothing to take: another wake already did
      }
    }
    if (radio->stop) break;
    if (radio->source >= 0 && watch[1].revents) {
      bool alive = modem ? ModemRadioPump(radio.get()) : ScriptedRadioPump(radio.get());
      if (!alive) {  // the radio has gone: requests are answered from the last state
        if (radio->bus) {
          ModemRadioClose(radio.get());
          fprintf(stderr, "ModemManager: the system bus is gone, trying again\n");
        } else {
          close(radio->source);
        }
        radio->source = -1;
      }
    }
    AnswerRadioRequests(radio.get());
  }
  // The thread ends the radio: no callback runs after this.
  if (radio->bus) ModemRadioClose(radio.get());
  else if (radio->source >= 0) close(radio->source);
  std::lock_guard<std::mutex> lock(radio->lock);
  close(radio->wake);
  radio->source = radio->wake = -1;
}

std::shared_ptr<RadioInstance> Find(HRIL ril) {
  auto object = FindHandleAs<RadioObject>(ril);
  return object ? object->radio : nullptr;
}

HRESULT Queue(HRIL ril, RadioRequest kind) {
  auto radio = Find(ril);
  if (!radio) return E_INVALIDARG;
  HRESULT id;
  {
    std::lock_guard<std::mutex> lock(radio->lock);
    id = radio->nextCommand++;
    if (radio->nextCommand <= 0) radio->nextCommand = 1;
    radio->requests.push_back({id, kind});
  }
  Wake(radio.get());
  return id;
}

// Reads whole numbers (decimal) into the fields named, in order; false when a required one is missing.
bool Numbers(std::istringstream& in, std::initializer_list<long long*> fields, size_t required) {
  size_t got = 0;
  for (long long* f : fields) {
    if (!(in >> *f)) break;
    ++got;
  }
  return got >= required;
}

}  // namespace

namespace platform {

bool ApplyRadioLine(RadioInstance* radio, const std::string& text) {
  std::istringstream in(text);
  std::string word;
  if (!(in >> word)) return true;  // an empty line
  bool notify = true;
  if (word == "state") {
    notify = false;
    if (!(in >> word)) return false;
  }
  if (word == "cell") {
    long long mcc = 0, mnc = 0, lac = 0, cid = 0, gprs = 0, ta = 0, rx = 0;
    if (!Numbers(in, {&mcc, &mnc, &lac, &cid, &gprs, &ta, &rx}, 4)) return false;
    std::lock_guard<std::mutex> lock(radio->lock);
    radio->cell = RILCELLTOWERINFO{};
    radio->cell.cbSize = sizeof radio->cell;
    radio->cell.dwParams = 0xFFFFFFFFu;
    radio->cell.dwMobileCountryCode = static_cast<DWORD>(mcc);
    radio->cell.dwMobileNetworkCode = static_cast<DWORD>(mnc);
    radio->cell.dwLocationAreaCode = static_cast<DWORD>(lac);
    radio->cell.dwCellID = static_cast<DWORD>(cid);
    radio->cell.dwGPRSCellID = static_cast<DWORD>(gprs);
    radio->cell.dwTimingAdvance = static_cast<DWORD>(ta);
    radio->cell.dwRxLevel = static_cast<DWORD>(rx);
    radio->haveCell = true;
    return true;
  }
  if (word == "signal") {
    long long s = 0, lo = 0, hi = 0, ber = 0;
    if (!Numbers(in, {&s, &lo, &hi, &ber}, 3)) return false;
    RILSIGNALQUALITY q{};
    q.cbSize = sizeof q;
    q.dwParams = 0xFFFFFFFFu;
    q.nSignalStrength = static_cast<int>(s);
    q.nMinSignalStrength = static_cast<int>(lo);
    q.nMaxSignalStrength = static_cast<int>(hi);
    q.dwBitErrorRate = static_cast<DWORD>(ber);
    q.nLowSignalStrength = static_cast<int>(lo);
    q.nHighSignalStrength = static_cast<int>(hi);
    {
      std::lock_guard<std::mutex> lock(radio->lock);
      radio->signal = q;
      radio->haveSignal = true;
    }
    if (notify && radio->notify) radio->notify(RIL_NOTIFY_SIGNALQUALITY, &q, sizeof q, radio->param);
    return true;
  }
  if (word == "operator") {
    std::string numeric, longName, shortName;
    if (!(in >> numeric)) return false;
    in >> longName >> shortName;
    std::lock_guard<std::mutex> lock(radio->lock);
    radio->op = RILOPERATORNAMES{};
    radio->op.cbSize = sizeof radio->op;
    radio->op.dwParams = 0xFFFFFFFFu;
    // As a radio fills it: a name of the field's full length has no terminator.
    memcpy(radio->op.szNumName, numeric.data(), std::min(numeric.size(), sizeof radio->op.szNumName));
    snprintf(radio->op.szLongName, sizeof radio->op.szLongName, "%s", longName.c_str());
    snprintf(radio->op.szShortName, sizeof radio->op.szShortName, "%s", shortName.c_str());
    snprintf(radio->op.szCountryCode, sizeof radio->op.szCountryCode, "%.3s", numeric.c_str());
    radio->haveOperator = true;
    return true;
  }
  if (word == "system") {
    long long type = 0;
    if (!Numbers(in, {&type}, 1)) return false;
    DWORD value = static_cast<DWORD>(type);
    if (notify && radio->notify) radio->notify(RIL_NOTIFY_SYSTEMCHANGED, &value, sizeof value, radio->param);
    return true;
  }
  return false;
}

void AnswerRadioRequests(RadioInstance* radio) {
  for (;;) {
    std::pair<HRESULT, RadioRequest> request;
    RILCELLTOWERINFO cell;
    RILSIGNALQUALITY signal;
    RILOPERATORNAMES op;
    bool have = false;
    {
      std::lock_guard<std::mutex> lock(radio->lock);
      if (radio->requests.empty()) return;
      request = radio->requests.front();
      radio->requests.pop_front();
      cell = radio->cell;
      signal = radio->signal;
      op = radio->op;
      have = request.second == RadioRequest::Cell     ? radio->haveCell
             : request.second == RadioRequest::Signal ? radio->haveSignal
                                                      : radio->haveOperator;
    }
    if (!radio->result || radio->stop) continue;
    if (!have) {
      radio->result(RIL_RESULT_ERROR, request.first, nullptr, 0, radio->param);
      continue;
    }
    switch (request.second) {
      case RadioRequest::Cell: radio->result(RIL_RESULT_OK, request.first, &cell, sizeof cell, radio->param); break;
      case RadioRequest::Signal: radio->result(RIL_RESULT_OK, request.first, &signal, sizeof signal, radio->param); break;
      case RadioRequest::Operator: radio->result(RIL_RESULT_OK, request.first, &op, sizeof op, radio->param); break;
    }
  }
}

}  // namespace platform

HRESULT RIL_Initialize(DWORD, RILRESULTCALLBACK result, RILNOTIFYCALLBACK notify, DWORD, DWORD param, HRIL* ril) {
  if (!ril) return E_INVALIDARG;
  *ril = nullptr;
  std::string backend = Setting(u"Backend", "none");
  auto radio = std::make_shared<RadioInstance>();
  radio->result = result;
  radio->notify = notify;
  radio->param = param;
  bool modem = backend == "modemmanager";
  bool opened = backend == "scripted" ? ScriptedRadioOpen(radio.get(), Setting(u"Link", ""))
                : modem               ? ModemRadioOpen(radio.get())
                                      : false;
  if (!opened) return E_FAIL;
  radio->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (radio->wake < 0) {  // without it the radio's thread could never be ended: no radio
    if (radio->bus) ModemRadioClose(radio.get());
    else close(radio->source);
    return E_FAIL;
  }
  radio->thread = std::thread(Run, radio, modem);
  auto object = std::make_shared<RadioObject>();
  object->radio = radio;
  *ril = AddHandle(object);
  return S_OK;
}

HRESULT RIL_Deinitialize(HRIL ril) {
  auto radio = Find(ril);
  if (!radio) return E_INVALIDARG;
  CloseHandle(ril);
  radio->stop = true;
  Wake(radio.get());
  if (radio->thread.get_id() == std::this_thread::get_id()) radio->thread.detach();  // ends when the callback returns
  else if (radio->thread.joinable()) radio->thread.join();
  return S_OK;
}

HRESULT RIL_GetCellTowerInfo(HRIL ril) { return Queue(ril, RadioRequest::Cell); }
HRESULT RIL_GetSignalQuality(HRIL ril) { return Queue(ril, RadioRequest::Signal); }
HRESULT RIL_GetCurrentOperator(HRIL ril, DWORD) { return Queue(ril, RadioRequest::Operator); }
