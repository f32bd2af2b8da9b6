// A modem as ModemManager shows it, on a bus of the test's own: one modem object with its cell
// information, 3GPP location string, signal readings and operator, and PropertiesChanged when
// the test changes them. As on real modems, the extended signal readings stay empty until a
// client calls Signal.Setup. Destroying it is ModemManager going away (its name loses its owner).
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include "fake_bus_server.h"

class FakeModem {
 public:
  struct State {
    bool cellInfo = true;  // false: GetCellInfo fails and the location string serves
    unsigned cellType = 2;  // GSM; 5 is LTE
    std::string operatorId = "26201", lac = "1267", tac, ci = "3039";
    double rssi = -80;  // dBm; NaN: no extended readings, the quality percent serves
    unsigned quality = 50;
  };

  explicit FakeModem(const std::string& address)
      : server_(address, [this](sd_bus* bus) { return Register(bus); }, [this](sd_bus* bus) { Notify(bus); }) {}
  bool Ready() const { return server_.Ready(); }
  bool SignalSetUp() const { return signalSetUp_; }
  // Changes the modem and tells the bus that its properties changed.
  void Change(const State& s) {
    std::lock_guard<std::mutex> lock(lock_);
    state_ = s;
    changed_ = true;
  }

 private:
  static constexpr const char* kPath = "/org/freedesktop/ModemManager1/Modem/0";

  static FakeModem* Self(void* user) { return static_cast<FakeModem*>(user); }
  State Now() {
    std::lock_guard<std::mutex> lock(lock_);
    return state_;
  }
  static int AppendEntry(sd_bus_message* m, const char* key, const char* type, const void* value) {
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append(m, "s", key);
    sd_bus_message_open_container(m, 'v', type);
    sd_bus_message_append_basic(m, type[0], value);
    sd_bus_message_close_container(m);
    return sd_bus_message_close_container(m);
  }
  static int GetCellInfo(sd_bus_message* call, void* user, sd_bus_error* error) {
    State s = Self(user)->Now();
    if (!s.cellInfo) return sd_bus_error_set(error, "org.freedesktop.ModemManager1.Error.Core.Unsupported", "no");
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(call, &reply);
    sd_bus_message_open_container(reply, 'a', "a{sv}");
    for (int serving = 0; serving < 2; ++serving) {  // a neighbour first, then the serving cell
      sd_bus_message_open_container(reply, 'a', "{sv}");
      int b = serving;
      std::string ci = serving ? s.ci : "FFFF";
      AppendEntry(reply, "cell-type", "u", &s.cellType);
      AppendEntry(reply, "serving", "b", &b);
      AppendEntry(reply, "operator-id", "s", s.operatorId.c_str());
      if (!s.lac.empty()) AppendEntry(reply, "lac", "s", s.lac.c_str());
      if (!s.tac.empty()) AppendEntry(reply, "tac", "s", s.tac.c_str());
      AppendEntry(reply, "ci", "s", ci.c_str());
      sd_bus_message_close_container(reply);
    }
    sd_bus_message_close_container(reply);
    int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }
  static int GetLocation(sd_bus_message* call, void* user, sd_bus_error*) {
    State s = Self(user)->Now();
    std::string text = s.operatorId.substr(0, 3) + "," + s.operatorId.substr(3) + "," + s.lac + "," + s.ci + "," + s.tac;
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(call, &reply);
    sd_bus_message_open_container(reply, 'a', "{uv}");
    sd_bus_message_open_container(reply, 'e', "uv");
    sd_bus_message_append(reply, "u", 1u);
    sd_bus_message_append(reply, "v", "s", text.c_str());
    sd_bus_message_close_container(reply);
    sd_bus_message_close_container(reply);
    int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }
  static int Quality(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* user, sd_bus_error*) {
    return sd_bus_message_append(reply, "(ub)", Self(user)->Now().quality, 1);
  }
  static int Setup(sd_bus_message* call, void* user, sd_bus_error*) {
    Self(user)->signalSetUp_ = true;
    return sd_bus_reply_method_return(call, "");
  }
  static int Lte(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* user, sd_bus_error*) {
    State s = Self(user)->Now();
    sd_bus_message_open_container(reply, 'a', "{sv}");
    if (s.rssi == s.rssi && Self(user)->signalSetUp_) AppendEntry(reply, "rssi", "d", &s.rssi);
    return sd_bus_message_close_container(reply);
  }
  static int Empty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    sd_bus_message_open_container(reply, 'a', "{sv}");
    return sd_bus_message_close_container(reply);
  }
  static int Operator(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void* user,
                      sd_bus_error*) {
    std::string code = Self(user)->Now().operatorId;
    return sd_bus_message_append(reply, "s", std::string(property) == "OperatorCode" ? code.c_str() : "Quorvale");
  }

  bool Register(sd_bus* bus) {
    static const sd_bus_vtable modem[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("GetCellInfo", "", "aa{sv}", GetCellInfo, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("SignalQuality", "(ub)", Quality, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable gpp[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("OperatorCode", "s", Operator, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY("OperatorName", "s", Operator, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable signal[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Setup", "u", "", Setup, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("Lte", "a{sv}", Lte, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY("Umts", "a{sv}", Empty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY("Gsm", "a{sv}", Empty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable location[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("GetLocation", "", "a{uv}", GetLocation, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    const char* kInterface = "org.freedesktop.ModemManager1.Modem";
    return sd_bus_add_object_manager(bus, nullptr, "/org/freedesktop/ModemManager1") >= 0 &&
           sd_bus_add_object_vtable(bus, nullptr, kPath, kInterface, modem, this) >= 0 &&
           sd_bus_add_object_vtable(bus, nullptr, kPath, (std::string(kInterface) + ".Modem3gpp").c_str(), gpp, this) >= 0 &&
           sd_bus_add_object_vtable(bus, nullptr, kPath, (std::string(kInterface) + ".Signal").c_str(), signal, this) >= 0 &&
           sd_bus_add_object_vtable(bus, nullptr, kPath, (std::string(kInterface) + ".Location").c_str(), location, this) >= 0 &&
           sd_bus_request_name(bus, "org.freedesktop.ModemManager1", 0) >= 0;
  }
  // Tells the bus when the test changed the modem's properties.
  void Notify(sd_bus* bus) {
    bool emit;
    {
      std::lock_guard<std::mutex> lock(lock_);
      emit = changed_;
      changed_ = false;
    }
    if (emit) {
      sd_bus_emit_properties_changed(bus, kPath, "org.freedesktop.ModemManager1.Modem.Signal", "Lte", nullptr);
      sd_bus_flush(bus);
    }
  }

  std::mutex lock_;
  State state_;
  bool changed_ = false;
  std::atomic<bool> signalSetUp_{false};
  FakeBusServer server_;  // last: it serves as soon as it is made
};
