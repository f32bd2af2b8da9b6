// The messages by which other processes use the host (frxd): its devices and services, and its
// device manager. Over the Unix socket "<root>/frxd.sock", one connection per handle: the first
// message says what the connection's handle is, later ones use it, and closing the connection
// closes the handle. Calls on one handle may overlap (a second thread's SetCommMask while the
// first waits in WaitCommEvent): every request carries an id, its reply the same id, and the host
// serves the requests of one connection side by side.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include "platform/types.h"

constexpr uint32_t kWireMaxPayload = 65536;
constexpr char kHostSocketName[] = "frxd.sock";

enum : uint32_t {
  // First message of a connection; the reply is a WireResult.
  WIRE_OPEN = 1,              // WireOpen + UTF-16 device name ("COM8:")
  WIRE_SERVICE_HANDLE = 5,    // UTF-16 device name of a running service ("TWK1:")
  WIRE_ACTIVATE_SERVICE = 6,  // uint32 flags + UTF-16 service name ("Towerkin")
  WIRE_REGISTER_SERVICE = 7,  // WireRegisterService + UTF-16 prefix, 0, UTF-16 module name
  // One request, one reply, then the host closes the connection.
  WIRE_ACTIVATE_DEVICE = 8,    // UTF-16 builtin key; reply value: the activation's id (0 none)
  WIRE_DEACTIVATE_DEVICE = 9,  // uint32 activation id
  WIRE_CALLS_IN_FLIGHT = 11,   // nothing; reply value: the calls inside a device or service now
  // Calls on the connection's handle.
  WIRE_READ = 2,         // uint32 count; reply: WireResult + the bytes read
  WIRE_WRITE = 3,        // the bytes; reply value: bytes written
  WIRE_IOCTL = 4,        // WireIoctl + input; reply: WireResult (value = returned length) + output
  WIRE_DEREGISTER = 10,  // nothing; ends the service behind the handle
};

// Longest device, service, module or key name on the wire, in UTF-16 units.
constexpr uint32_t kWireMaxName = 260;

struct WireHeader {
  uint32_t op;
  uint32_t id;      // chosen by the caller, echoed by the reply
  uint32_t length;  // payload bytes that follow
};
static_assert(sizeof(WireHeader) == 12);
static_assert(offsetof(WireHeader, length) == 8);

struct WireOpen {
  uint32_t access;
  uint32_t share;
};
static_assert(sizeof(WireOpen) == 8);

struct WireIoctl {
  uint32_t code;
  uint32_t outLength;
};
static_assert(sizeof(WireIoctl) == 8);

struct WireRegisterService {
  uint32_t index;
  uint32_t context;
};
static_assert(sizeof(WireRegisterService) == 8);

struct WireResult {
  uint32_t ok;         // the call's BOOL result
  uint32_t lastError;  // the caller's last error after the call
  uint32_t value;      // bytes read or written, the returned length, or an activation id
};
static_assert(sizeof(WireResult) == 12);
static_assert(offsetof(WireResult, value) == 8);

// The host socket's path under the data root.
std::string PlatformHostSocketPath();
// True when a host (frxd) answers on the data root's socket.
bool PlatformHostRunning();
// The calls of other processes that the host is making inside its devices and services now (a
// read waiting for a fix is one); -1 when no host answers. What a test waits on instead of time.
int PlatformHostCallsInFlight();
// Whole-message I/O on a socket; false on any error or a payload above the limit.
bool WireSend(int fd, uint32_t op, uint32_t id, const void* a, uint32_t aLength, const void* b = nullptr,
              uint32_t bLength = 0);
bool WireReceive(int fd, WireHeader* header, std::string* payload);
// True when `length` payload bytes are a well-formed request of `op`; false for an unknown op.
bool WireRequestValid(uint32_t op, uint32_t length);
// The UTF-16 name at `offset` of a payload (the rest of it, or up to a 0 unit); empty when malformed.
std::u16string WireName(const std::string& payload, size_t offset);
