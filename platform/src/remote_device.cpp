// Handles of the host process used from this one. Each handle is one connection to the host's
// socket. Calls on one handle may overlap: each request gets an id, and whichever caller is
// waiting reads the next reply and hands it to the caller it belongs to. Closing the handle shuts
// the connection down, which ends every call still waiting on it.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>
#include "handles.h"
#include "platform/device_protocol.h"
#include "platform/devices.h"
#include "platform/kernel.h"
#include "platform/wide.h"
#include "wire_connect.h"

using namespace platform;

namespace {

std::atomic<bool> g_hostProcess{false};

struct Reply {
  bool arrived = false;
  uint32_t op = 0;
  std::string payload;
};

class WireConnection {
 public:
  explicit WireConnection(int fd) : fd_(fd) {}
  ~WireConnection() { close(fd_); }
  // Sends a request and waits for its reply; false when the host or the connection went away.
  bool Call(uint32_t op, const void* a, uint32_t aLength, const void* b, uint32_t bLength, WireResult* result,
            std::string* data) {
    uint32_t id;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (broken_) return false;
      id = ++nextId_;
      replies_[id];
    }
    bool sent;
    {
      std::lock_guard<std::mutex> lock(sendMu_);
      sent = WireSend(fd_, op, id, a, aLength, b, bLength);
    }
    std::unique_lock<std::mutex> lock(mu_);
    if (!sent) broken_ = true;
    for (;;) {
      Reply& r = replies_[id];
      if (r.arrived) {
        Reply got = std::move(r);
        replies_.erase(id);
        if (got.op != op || got.payload.size() < sizeof(WireResult)) return false;
        memcpy(result, got.payload.data(), sizeof *result);
        if (data) *data = got.payload.substr(sizeof *result);
        return true;
      }
      if (broken_) {
        replies_.erase(id);
        return false;
      }
      if (receiving_) {
        arrived_.wait(lock);
        continue;
      }
      receiving_ = true;  // this caller reads for everyone until its own reply comes
      lock.unlock();
      WireHeader h;
      std::string payload;
      bool ok = WireReceive(fd_, &h, &payload);
      lock.lock();
      receiving_ = false;
      auto it = replies_.find(h.id);
      if (!ok || it == replies_.end()) {
        broken_ = true;  // the host went away, or answered what nobody asked
      } else {
        it->second.arrived = true;
        it->second.op = h.op;
        it->second.payload = std::move(payload);
      }
      arrived_.notify_all();
    }
  }
  void Shutdown() { shutdown(fd_, SHUT_RDWR); }

 private:
  int fd_;
  std::mutex sendMu_;
  std::mutex mu_;
  std::condition_variable arrived_;
  std::map<uint32_t, Reply> replies_;
  uint32_t nextId_ = 0;
  bool receiving_ = false;
  bool broken_ = false;
};

struct RemoteDevice : KObject {
  std::unique_ptr<WireConnection> wire;
  std::atomic<bool> closed{false};
  bool service = false;  // from ActivateService, RegisterService or GetServiceHandle

  BOOL Lost() { return Fail(closed ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE); }
  BOOL Finish(const WireResult& r) {
    SetLastError(r.lastError);
    return r.ok;
  }
  BOOL Read(void* buf, DWORD n, DWORD* got) override {
    *got = 0;
    uint32_t count = n > kWireMaxPayload - sizeof(WireResult) ? kWireMaxPayload - sizeof(WireResult) : n;
    WireResult r;
    std::string data;
    if (!wire->Call(WIRE_READ, &count, 4, nullptr, 0, &r, &data)) return Lost();
    size_t copy = data.size() < n ? data.size() : n;
    memcpy(buf, data.data(), copy);
    *got = static_cast<DWORD>(copy);
    return Finish(r);
  }
  BOOL Write(const void* buf, DWORD n, DWORD* written) override {
    *written = 0;
    if (n > kWireMaxPayload) return Fail(ERROR_INVALID_PARAMETER);
    WireResult r;
    if (!wire->Call(WIRE_WRITE, buf, n, nullptr, 0, &r, nullptr)) return Lost();
    *written = r.value;
    return Finish(r);
  }
  bool IsDevice() const override { return true; }
  BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* actual) override {
    *actual = 0;
    if (inLength > kWireMaxPayload - sizeof(WireIoctl) || outLength > kWireMaxPayload - sizeof(WireResult))
      return Fail(ERROR_INVALID_PARAMETER);
    WireIoctl io{code, out ? outLength : 0};
    WireResult r;
    std::string data;
    if (!wire->Call(WIRE_IOCTL, &io, sizeof io, in, in ? inLength : 0, &r, &data)) return Lost();
    if (out) memcpy(out, data.data(), data.size() < outLength ? data.size() : outLength);
    *actual = r.value;
    return Finish(r);
  }
  BOOL Deregister() {
    WireResult r;
    if (!wire->Call(WIRE_DEREGISTER, nullptr, 0, nullptr, 0, &r, nullptr)) return Lost();
    return Finish(r);
  }
  void Closing() override {
    closed = true;
    wire->Shutdown();  // calls still waiting on the host end now
  }
};

// An activation made by the host's device manager for this process.
struct RemoteActivation : KObject {
  uint32_t id = 0;
};

// One request and its reply on a new connection; false (ERROR_FILE_NOT_FOUND) without a host.
bool CallOnce(uint32_t op, const std::string& payload, WireResult* r) {
  int fd = WireConnect();
  if (fd < 0) return KObject::Fail(ERROR_FILE_NOT_FOUND);
  WireConnection wire(fd);
  if (!wire.Call(op, payload.data(), static_cast<uint32_t>(payload.size()), nullptr, 0, r, nullptr))
    return KObject::Fail(ERROR_GEN_FAILURE);
  SetLastError(r->lastError);
  return true;
}

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }
std::string NameBytes(LPCWSTR name) { return Bytes(name, WideLen(name) * 2); }

// Opens a connection whose first message makes its handle.
HANDLE OpenConnection(uint32_t op, const std::string& payload, bool service) {
  if (g_hostProcess) {  // what the host does not have exists nowhere
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (payload.size() > kWireMaxPayload) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int fd = WireConnect();
  if (fd < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);  // no host: no such device
    return INVALID_HANDLE_VALUE;
  }
  auto device = std::make_shared<RemoteDevice>();
  device->wire = std::make_unique<WireConnection>(fd);
  device->service = service;
  WireResult r{};
  if (!device->wire->Call(op, payload.data(), static_cast<uint32_t>(payload.size()), nullptr, 0, &r, nullptr)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!r.ok) {
    SetLastError(r.lastError ? r.lastError : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return AddHandle(device);
}

bool NameFits(LPCWSTR name) { return name && *name && WideLen(name) <= kWireMaxName; }

}  // namespace

void PlatformSetHostProcess(bool host) { g_hostProcess = host; }

HANDLE RemoteOpenDevice(LPCWSTR name, DWORD access, DWORD share) {
  WireOpen open{access, share};
  return OpenConnection(WIRE_OPEN, Bytes(&open, sizeof open) + NameBytes(name), false);
}

HANDLE RemoteServiceHandle(LPCWSTR name) {
  if (!NameFits(name)) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  return OpenConnection(WIRE_SERVICE_HANDLE, NameBytes(name), true);
}

HANDLE RemoteActivateService(LPCWSTR name, DWORD flags) {
  if (!NameFits(name)) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  uint32_t f = flags;
  HANDLE h = OpenConnection(WIRE_ACTIVATE_SERVICE, Bytes(&f, 4) + NameBytes(name), true);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

HANDLE RemoteRegisterService(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context) {
  if (!NameFits(prefix) || !NameFits(dll)) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  WireRegisterService reg{index, context};
  char16_t zero = 0;
  std::string payload = Bytes(&reg, sizeof reg) + NameBytes(prefix) + Bytes(&zero, 2) + NameBytes(dll);
  HANDLE h = OpenConnection(WIRE_REGISTER_SERVICE, payload, true);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int RemoteDeregisterService(HANDLE service) {
  auto device = FindHandleAs<RemoteDevice>(service);
  if (!device) return -1;
  if (!device->service) return KObject::Fail(ERROR_INVALID_HANDLE);
  return device->Deregister();
}

int PlatformHostCallsInFlight() {
  WireResult r{};
  return CallOnce(WIRE_CALLS_IN_FLIGHT, std::string(), &r) && r.ok ? static_cast<int>(r.value) : -1;
}

HANDLE RemoteActivateDevice(LPCWSTR key) {
  if (g_hostProcess || !NameFits(key)) return SetLastError(ERROR_FILE_NOT_FOUND), nullptr;
  WireResult r{};
  if (!CallOnce(WIRE_ACTIVATE_DEVICE, NameBytes(key), &r) || !r.ok || !r.value) return nullptr;
  auto activation = std::make_shared<RemoteActivation>();
  activation->id = r.value;
  return AddHandle(activation);
}

int RemoteDeactivateDevice(HANDLE device) {
  auto activation = FindHandleAs<RemoteActivation>(device);
  if (!activation) return -1;
  uint32_t id = activation->id;
  CloseHandle(device);
  WireResult r{};
  return CallOnce(WIRE_DEACTIVATE_DEVICE, Bytes(&id, 4), &r) && r.ok;
}
