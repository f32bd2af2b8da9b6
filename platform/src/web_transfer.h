// One HTTP exchange, done by libferrox-web.so (libcurl and what it needs): the platform loads it
// on the first request, so a process that never asks for one never maps them.
#pragma once
#include <cstddef>
#include "platform/types.h"

struct WebTransfer {
  const char* url;
  const char* connectTo;      // "host:port:address:port" the host map names, or null
  const char* const* headers; // "Name: value" lines
  size_t headerCount;
  const char* agent;          // null: none
  int http10;                 // 1: HTTP/1.0
  const char* verb;           // "GET", "POST" or another
  const void* body;           // of a POST
  size_t bodyLength;
  long connectTimeoutMs, timeoutMs;
  // Takes each piece of the reply; a return other than its size ends the transfer.
  size_t (*take)(char* data, size_t size, size_t count, void* context);
  void* context;
  const volatile LONG* cancel;  // non-zero: the transfer ends (null: none)
  const char* caFile;           // HTTPS: the authorities' certificates (null: the system's)
};

// Performs the exchange: 0 with the HTTP status, or the platform's error (time-out, name not
// resolved, cannot connect, invalid response).
extern "C" DWORD FerroxWebPerform(const WebTransfer* transfer, long* status);
using WebPerformCall = DWORD (*)(const WebTransfer*, long*);
constexpr char kWebLibrary[] = "libferrox-web.so";
