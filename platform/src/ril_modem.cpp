// The ModemManager radio: the first modem on the system bus (or FERROX_SYSTEM_BUS), followed as
// modems come and go and as ModemManager itself stops and starts (one line on standard error for
// each change). The serving cell comes from the modem's cell information or, failing that, its
// 3GPP location string; the signal from its extended signal readings (switched on with
// Signal.Setup) or its signal quality; the operator from its 3GPP interface. A change of the
// modem's properties is notified as a new signal reading, after which the radio's user asks for
// the cell again.
#include <systemd/sd-bus.h>
#include "platform/system_bus.h"
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "radio_instance.h"

namespace platform {

namespace {

constexpr char kService[] = "org.freedesktop.ModemManager1";
constexpr char kRoot[] = "/org/freedesktop/ModemManager1";
constexpr char kModem[] = "org.freedesktop.ModemManager1.Modem";
constexpr char k3gpp[] = "org.freedesktop.ModemManager1.Modem.Modem3gpp";
constexpr char kSignal[] = "org.freedesktop.ModemManager1.Modem.Signal";
constexpr char kLocation[] = "org.freedesktop.ModemManager1.Modem.Location";
// The range of GSM receive levels, for readings that come without one.
constexpr int kWeakestDbm = -113;
constexpr int kStrongestDbm = -51;
constexpr uint64_t kCallTimeoutUs = 2000000;
constexpr uint32_t kLocation3gppLacCi = 1;
constexpr uint32_t kCellTypeLte = 5;
constexpr uint32_t kCellTypeNr = 6;
// Seconds between the extended signal readings the modem is asked for.
constexpr uint32_t kSignalRateSeconds = 5;

sd_bus* Bus(RadioInstance* radio) { return static_cast<sd_bus*>(radio->bus); }


// The first object under the manager that has the modem interface.
bool FindModem(sd_bus* bus, std::string* path) {
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus, kService, kRoot, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
                         &reply, "") < 0)
    return false;
  bool found = false;
  if (sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}") > 0) {
    while (!found && sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}") > 0) {
      const char* object = nullptr;
      sd_bus_message_read(reply, "o", &object);
      if (sd_bus_message_enter_container(reply, 'a', "{sa{sv}}") > 0) {
        while (sd_bus_message_enter_container(reply, 'e', "sa{sv}") > 0) {
          const char* interface = nullptr;
          sd_bus_message_read(reply, "s", &interface);
          if (interface && strcmp(interface, kModem) == 0 && object) {
            *path = object;
            found = true;
          }
          sd_bus_message_skip(reply, "a{sv}");
          sd_bus_message_exit_container(reply);
        }
        sd_bus_message_exit_container(reply);
      }
      sd_bus_message_exit_container(reply);
    }
  }
  sd_bus_message_unref(reply);
  return found;
}

DWORD Hex(const char* text) { return text && *text ? static_cast<DWORD>(strtoul(text, nullptr, 16)) : 0; }

// "MCCMNC" into the two codes.
void OperatorCodes(const char* id, DWORD* mcc, DWORD* mnc) {
  if (!id || strlen(id) < 4) return;
  char country[4] = {id[0], id[1], id[2], 0};
  *mcc = static_cast<DWORD>(strtoul(country, nullptr, 10));
  *mnc = static_cast<DWORD>(strtoul(id + 3, nullptr, 10));
}

// The serving cell of Modem.GetCellInfo (a list of dictionaries).
bool CellFromCellInfo(sd_bus* bus, const std::string& modem, RILCELLTOWERINFO* cell) {
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus, kService, modem.c_str(), kModem, "GetCellInfo", nullptr, &reply, "") < 0) return false;
  bool found = false;
  if (sd_bus_message_enter_container(reply, 'a', "a{sv}") > 0) {
    while (!found && sd_bus_message_enter_container(reply, 'a', "{sv}") > 0) {
      bool serving = false;
      uint32_t type = 0, timingAdvance = 0;
      std::string op, lac, tac, ci;
      while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(reply, "s", &key);
        const char* contents = nullptr;
        char kind = 0;
        sd_bus_message_peek_type(reply, &kind, &contents);
        std::string k = key ? key : "";
        if (contents && strcmp(contents, "s") == 0 && (k == "operator-id" || k == "lac" || k == "tac" || k == "ci")) {
          const char* s = nullptr;
          sd_bus_message_read(reply, "v", "s", &s);
          (k == "operator-id" ? op : k == "lac" ? lac : k == "tac" ? tac : ci) = s ? s : "";
        } else if (contents && strcmp(contents, "b") == 0 && k == "serving") {
          int b = 0;
          sd_bus_message_read(reply, "v", "b", &b);
          serving = b;
        } else if (contents && strcmp(contents, "u") == 0 && (k == "cell-type" || k == "timing-advance")) {
          uint32_t u = 0;
          sd_bus_message_read(reply, "v", "u", &u);
          (k == "cell-type" ? type : timingAdvance) = u;
        } else {
          sd_bus_message_skip(reply, "v");
        }
        sd_bus_message_exit_container(reply);
      }
      sd_bus_message_exit_container(reply);
      if (!serving || ci.empty()) continue;
      *cell = RILCELLTOWERINFO{};
      OperatorCodes(op.c_str(), &cell->dwMobileCountryCode, &cell->dwMobileNetworkCode);
      // An LTE or 5G cell has a tracking area instead of a location area; a 5G id has 36 bits.
      if (type == kCellTypeNr) {
        PackNrCell(Hex(tac.c_str()), strtoull(ci.c_str(), nullptr, 16), &cell->dwLocationAreaCode, &cell->dwCellID);
      } else {
        cell->dwLocationAreaCode = type == kCellTypeLte || lac.empty() ? Hex(tac.c_str()) : Hex(lac.c_str());
        cell->dwCellID = Hex(ci.c_str());
      }
      cell->dwTimingAdvance = timingAdvance;
      found = true;
    }
  }
  sd_bus_message_unref(reply);
  return found;
}

// The serving cell of the 3GPP location string "MCC,MNC,LAC,CI,TAC" (codes decimal, the rest hex).
bool CellFromLocation(sd_bus* bus, const std::string& modem, RILCELLTOWERINFO* cell) {
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus, kService, modem.c_str(), kLocation, "GetLocation", nullptr, &reply, "") < 0) return false;
  std::string text;
  if (sd_bus_message_enter_container(reply, 'a', "{uv}") > 0) {
    while (sd_bus_message_enter_container(reply, 'e', "uv") > 0) {
      uint32_t source = 0;
      sd_bus_message_read(reply, "u", &source);
      const char* contents = nullptr;
      char kind = 0;
      sd_bus_message_peek_type(reply, &kind, &contents);
      if (source == kLocation3gppLacCi && contents && strcmp(contents, "s") == 0) {
        const char* s = nullptr;
        sd_bus_message_read(reply, "v", "s", &s);
        text = s ? s : "";
      } else {
        sd_bus_message_skip(reply, "v");
      }
      sd_bus_message_exit_container(reply);
    }
  }
  sd_bus_message_unref(reply);
  std::string field[5];
  size_t at = 0;
  for (int i = 0; i < 5 && at <= text.size(); ++i) {
    size_t comma = text.find(',', at);
    field[i] = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? text.size() + 1 : comma + 1;
  }
  if (field[3].empty()) return false;
  *cell = RILCELLTOWERINFO{};
  cell->dwMobileCountryCode = static_cast<DWORD>(strtoul(field[0].c_str(), nullptr, 10));
  cell->dwMobileNetworkCode = static_cast<DWORD>(strtoul(field[1].c_str(), nullptr, 10));
  // A tracking area is given only for LTE and 5G cells, and it is their key even where the modem
  // reports a location area beside it.
  DWORD lac = Hex(field[2].c_str()), tac = Hex(field[4].c_str());
  cell->dwLocationAreaCode = tac ? tac : (lac != 0xFFFE ? lac : 0);
  cell->dwCellID = Hex(field[3].c_str());
  return true;
}

// Signal strength in dBm: the extended readings (LTE, UMTS, GSM) or the quality in percent.
bool SignalStrength(sd_bus* bus, const std::string& modem, int* dbm) {
  for (const char* technology : {"Lte", "Umts", "Gsm"}) {
    sd_bus_message* reply = nullptr;
    if (sd_bus_get_property(bus, kService, modem.c_str(), kSignal, technology, nullptr, &reply, "a{sv}") < 0) continue;
    double rssi = NAN;
    if (sd_bus_message_enter_container(reply, 'a', "{sv}") > 0) {
      while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(reply, "s", &key);
        const char* contents = nullptr;
        char kind = 0;
        sd_bus_message_peek_type(reply, &kind, &contents);
        if (key && strcmp(key, "rssi") == 0 && contents && strcmp(contents, "d") == 0)
          sd_bus_message_read(reply, "v", "d", &rssi);
        else
          sd_bus_message_skip(reply, "v");
        sd_bus_message_exit_container(reply);
      }
    }
    sd_bus_message_unref(reply);
    if (std::isfinite(rssi) && rssi < 0 && rssi > -200) {
      *dbm = static_cast<int>(std::lround(rssi));
      return true;
    }
  }
  sd_bus_message* reply = nullptr;
  if (sd_bus_get_property(bus, kService, modem.c_str(), kModem, "SignalQuality", nullptr, &reply, "(ub)") < 0)
    return false;
  uint32_t percent = 0;
  int recent = 0;
  bool ok = sd_bus_message_read(reply, "(ub)", &percent, &recent) > 0 && percent > 0 && percent <= 100;
  sd_bus_message_unref(reply);
  if (ok) *dbm = kWeakestDbm + static_cast<int>(percent) * (kStrongestDbm - kWeakestDbm) / 100;
  return ok;
}

std::string Text(sd_bus* bus, const std::string& modem, const char* interface, const char* name) {
  char* value = nullptr;
  if (sd_bus_get_property_string(bus, kService, modem.c_str(), interface, name, nullptr, &value) < 0) return {};
  std::string text = value ? value : "";
  free(value);
  return text;
}

// Reads the modem's cell, signal and operator into the radio's state; true when the cell or the
// signal changed.
bool ReadModem(RadioInstance* radio) {
  sd_bus* bus = Bus(radio);
  RILCELLTOWERINFO cell{};
  if (radio->modem.empty()) {  // no modem: no cell, no signal until one comes
    std::lock_guard<std::mutex> lock(radio->lock);
    bool changed = radio->haveCell || radio->haveSignal;
    radio->haveCell = radio->haveSignal = false;
    return changed;
  }
  bool haveCell = CellFromCellInfo(bus, radio->modem, &cell) || CellFromLocation(bus, radio->modem, &cell);
  cell.cbSize = sizeof cell;
  cell.dwParams = 0xFFFFFFFFu;
  int dbm = 0;
  bool haveSignal = SignalStrength(bus, radio->modem, &dbm);
  std::string code = Text(bus, radio->modem, k3gpp, "OperatorCode");
  std::string name = Text(bus, radio->modem, k3gpp, "OperatorName");
  if (haveCell && (!cell.dwMobileCountryCode || !cell.dwMobileNetworkCode)) {
    DWORD mcc = 0, mnc = 0;
    OperatorCodes(code.c_str(), &mcc, &mnc);
    if (!cell.dwMobileCountryCode) cell.dwMobileCountryCode = mcc;
    if (!cell.dwMobileNetworkCode) cell.dwMobileNetworkCode = mnc;
  }
  std::lock_guard<std::mutex> lock(radio->lock);
  bool changed = haveCell != radio->haveCell || memcmp(&cell, &radio->cell, sizeof cell) != 0 ||
                 haveSignal != radio->haveSignal || (haveSignal && dbm != radio->signal.nSignalStrength);
  radio->haveCell = haveCell;
  if (haveCell) radio->cell = cell;
  radio->haveSignal = haveSignal;
  if (haveSignal) {
    radio->signal = RILSIGNALQUALITY{};
    radio->signal.cbSize = sizeof radio->signal;
    radio->signal.dwParams = 0xFFFFFFFFu;
    radio->signal.nSignalStrength = dbm;
    radio->signal.nMinSignalStrength = radio->signal.nLowSignalStrength = kWeakestDbm;
    radio->signal.nMaxSignalStrength = radio->signal.nHighSignalStrength = kStrongestDbm;
  }
  radio->haveOperator = !code.empty();
  radio->op = RILOPERATORNAMES{};
  radio->op.cbSize = sizeof radio->op;
  radio->op.dwParams = 0xFFFFFFFFu;
  snprintf(radio->op.szNumName, sizeof radio->op.szNumName, "%s", code.c_str());
  snprintf(radio->op.szLongName, sizeof radio->op.szLongName, "%s", name.c_str());
  snprintf(radio->op.szCountryCode, sizeof radio->op.szCountryCode, "%.3s", code.c_str());
  return changed;
}

int OnPropertiesChanged(sd_bus_message*, void* user, sd_bus_error*) {
  RadioInstance* radio = static_cast<RadioInstance*>(user);
  if (radio->pending.empty()) radio->pending = "changed";
  return 0;
}

// A modem added or removed, or ModemManager started or stopped: the modem is looked for again.
int OnModemsChanged(sd_bus_message*, void* user, sd_bus_error*) {
  static_cast<RadioInstance*>(user)->pending = "modems";
  return 0;
}

// Asks the modem for its extended signal readings (without this they stay empty on real modems).
void SetUpSignal(sd_bus* bus, const std::string& modem) {
  sd_bus_call_method(bus, kService, modem.c_str(), kSignal, "Setup", nullptr, nullptr, "u", kSignalRateSeconds);
}

// Finds the modem again; true when it changed (appeared, went or is another one), with one line.
bool FollowModem(RadioInstance* radio) {
  std::string modem;
  if (!FindModem(Bus(radio), &modem)) modem.clear();
  if (modem == radio->modem) return false;
  if (modem.empty()) fprintf(stderr, "ModemManager: modem %s gone, waiting for one\n", radio->modem.c_str());
  else fprintf(stderr, "ModemManager: using modem %s\n", modem.c_str());
  radio->modem = modem;
  if (!modem.empty()) SetUpSignal(Bus(radio), modem);
  return true;
}

}  // namespace

bool ModemRadioOpen(RadioInstance* radio) {
  sd_bus* bus = PlatformOpenSystemBus();
  if (!bus) return false;
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
  // Any modem's properties, modems coming and going, and ModemManager's name changing owner.
  if (sd_bus_match_signal(bus, nullptr, kService, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                          OnPropertiesChanged, radio) < 0 ||
      sd_bus_match_signal(bus, nullptr, kService, kRoot, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                          OnModemsChanged, radio) < 0 ||
      sd_bus_match_signal(bus, nullptr, kService, kRoot, "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved",
                          OnModemsChanged, radio) < 0 ||
      sd_bus_add_match(bus, nullptr,
                       "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
                       "arg0='org.freedesktop.ModemManager1'",
                       OnModemsChanged, radio) < 0) {
    sd_bus_flush_close_unref(bus);
    return false;
  }
  radio->bus = bus;
  radio->source = sd_bus_get_fd(bus);
  if (!FindModem(bus, &radio->modem)) {
    radio->modem.clear();
    fprintf(stderr, "ModemManager: no modem yet, waiting for one\n");
  } else {
    SetUpSignal(bus, radio->modem);
  }
  ReadModem(radio);
  return true;
}

bool ModemRadioPump(RadioInstance* radio) {
  sd_bus* bus = Bus(radio);
  for (int round = 0; round < 4; ++round) {
    int r;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r < 0) return false;  // the bus has gone
    if (radio->pending.empty()) return true;
    if (radio->pending == "modems") FollowModem(radio);
    radio->pending.clear();
    if (ReadModem(radio) && radio->notify) {
      RILSIGNALQUALITY signal;
      {
        std::lock_guard<std::mutex> lock(radio->lock);
        signal = radio->signal;
      }
      radio->notify(RIL_NOTIFY_SIGNALQUALITY, &signal, sizeof signal, radio->param);
    }
  }
  return true;
}

void ModemRadioClose(RadioInstance* radio) {
  sd_bus_flush_close_unref(Bus(radio));
  radio->bus = nullptr;
  radio->source = -1;
}

}  // namespace platform
