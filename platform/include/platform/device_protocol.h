// The messages by which other processes use the devices loaded in the host (frxd), over the Unix
// socket "<root>/frxd.sock": one connection per open handle; closing the connection closes the
// handle. Every message is a header and at most kWireMaxPayload bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include "platform/types.h"

constexpr uint32_t kWireMaxPayload = 65536;
constexpr char kHostSocketName[] = "frxd.sock";

enum : uint32_t {
  WIRE_OPEN = 1,   // request: WireOpen + UTF-16 name; reply: WireResult
  WIRE_READ = 2,   // request: uint32 count; reply: WireResult + the bytes read
  WIRE_WRITE = 3,  // request: the bytes; reply: WireResult (value = bytes written)
  WIRE_IOCTL = 4,  // request: WireIoctl + input; reply: WireResult (value = returned length) + output
};

struct WireHeader {
  uint32_t op;
  uint32_t length;  // payload bytes that follow
};
static_assert(sizeof(WireHeader) == 8);

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

struct WireResult {
  uint32_t ok;         // the call's BOOL result
  uint32_t lastError;  // the caller's last error after the call
  uint32_t value;      // bytes read or written, or the returned length
};
static_assert(sizeof(WireResult) == 12);
static_assert(offsetof(WireResult, value) == 8);

// The host socket's path under the data root.
std::string PlatformHostSocketPath();
// Whole-message I/O on a socket; false on any error or a payload above the limit.
bool WireSend(int fd, uint32_t op, const void* a, uint32_t aLength, const void* b = nullptr, uint32_t bLength = 0);
bool WireReceive(int fd, WireHeader* header, std::string* payload);
