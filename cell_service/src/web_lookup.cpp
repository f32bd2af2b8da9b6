// The two lookup forms and the HTTP exchange they share.
#include "cell_service/web_lookup.h"
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include "platform/internet.h"
#include "platform/platform.h"
#include "support/c_numbers.h"
#include "support/log.h"
#include "support/reg_helpers.h"

LookupResult g_Lookup;

namespace {

std::atomic<LONG> g_busy{0};
// The cancel flag of the exchange in progress (one at a time), and the stops so far.
std::mutex g_exchangeLock;
volatile LONG* g_exchangeCancel = nullptr;
std::atomic<LONG> g_stops{0};

// Names the exchange's flag for a stop while it runs.
struct CancelRegistration {
  explicit CancelRegistration(volatile LONG* flag) {
    std::lock_guard<std::mutex> hold(g_exchangeLock);
    g_exchangeCancel = flag;
  }
  ~CancelRegistration() {
    std::lock_guard<std::mutex> hold(g_exchangeLock);
    g_exchangeCancel = nullptr;
  }
};
char g_token[64];
char g_host[128];

constexpr DWORD kJsonReply = 1024;
constexpr DWORD kBinaryReply = 56;
// A binary answer carries its status and both coordinates in its first 15 bytes.
constexpr DWORD kBinaryAnswerBytes = 15;

struct Busy {
  bool taken;
  Busy() {
    LONG idle = 0;
    taken = g_busy.compare_exchange_strong(idle, 1);
  }
  ~Busy() {
    if (taken) g_busy = 0;
  }
};

LONG BigEndian(const BYTE* p) {
  return static_cast<LONG>((static_cast<DWORD>(p[0]) << 24) | (static_cast<DWORD>(p[1]) << 16) |
                           (static_cast<DWORD>(p[2]) << 8) | p[3]);
}

void PutBigEndian(BYTE* p, DWORD v) {
  p[0] = static_cast<BYTE>(v >> 24);
  p[1] = static_cast<BYTE>(v >> 16);
  p[2] = static_cast<BYTE>(v >> 8);
  p[3] = static_cast<BYTE>(v);
}

void LogData(const char* direction, const BYTE* data, int length) {
  if (!data || length <= 0) {
    LogPrintf(LOG_CRLF | LOG_VERBOSE, "%s Data (%d): [%08X]", direction, length,
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(data)));
    return;
  }
  char text[4 + 32 * 4 + 1] = "";
  size_t at = 0;
  int shown = length;
  if (length > 32) {
    at = static_cast<size_t>(snprintf(text, sizeof text, "TR: "));
    shown = 32;
  }
  for (int i = 0; i < shown; ++i) at += static_cast<size_t>(snprintf(text + at, sizeof text - at, "%02x, ", data[i]));
  if (at >= 2) text[at - 2] = 0;
  LogPrintf(LOG_CRLF | LOG_VERBOSE, "%s Data (%d): [%s]", direction, shown, text);
}

}  // namespace

DWORD WebExchange(const WebEndpoint& to, const char16_t* path, const char16_t* accept, const char16_t* type,
                  const void* body, DWORD length, void* reply, DWORD capacity) {
  volatile LONG cancel = 0;
  CancelRegistration registered(&cancel);
  HINTERNET internet = InternetOpenW(u"getCelltowerID", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!internet) {
    LogLine(LOG_CRLF, "Can't InternetOpen");
    return 0;
  }
  PlatformInternetCancelWith(internet, &cancel);
  std::u16string host = Utf8ToWide(to.host);
  HINTERNET connection = InternetConnectW(internet, host.c_str(), to.port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1);
  if (!connection) {
    InternetCloseHandle(internet);
    LogLine(LOG_CRLF, "Can't InternetConnect");
    return 0;
  }
  LPCWSTR accepted[] = {accept, nullptr};
  HINTERNET request = HttpOpenRequestW(connection, u"POST", path, to.secure ? u"HTTP/1.1" : u"HTTP/1.0", nullptr,
                                       accepted,
                                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                           (to.secure ? INTERNET_FLAG_SECURE : 0),
                                       1);
  if (!request) {
    InternetCloseHandle(connection);
    InternetCloseHandle(internet);
    LogLine(LOG_CRLF, "Can't HttpOpenRequest");
    return 0;
  }
  char16_t header[96];
  std::u16string typeHeader = std::u16string(u"Content-Type: ") + type;
  HttpAddRequestHeadersW(request, typeHeader.c_str(), 0xFFFFFFFFu, HTTP_ADDREQ_FLAG_REPLACE);
  std::string lengthHeader = "Content-length: " + std::to_string(length);
  Utf8ToWide(lengthHeader.c_str(), header, 96);
  HttpAddRequestHeadersW(request, header, 0xFFFFFFFFu, HTTP_ADDREQ_FLAG_REPLACE);
  LogLine(LOG_CRLF | LOG_VERBOSE, "Send Request");
  HttpSendRequestW(request, nullptr, 0, const_cast<void*>(body), length);
  LogLine(LOG_CRLF | LOG_VERBOSE, "Request Return");
  DWORD count = 0;
  if (InternetReadFile(request, reply, capacity, &count)) LogPrintf(LOG_CRLF | LOG_VERBOSE, "Read Return %d", count);
  else count = 0;
  InternetCloseHandle(request);
  InternetCloseHandle(connection);
  InternetCloseHandle(internet);
  return count;
}

namespace {

// One POST of `body` to `path` of the lookup host (HTTP/1.0, port 80) and one read of at most
// `capacity` bytes; the count read.
DWORD Exchange(const char16_t* path, const char16_t* accept, const char16_t* type, const void* body, DWORD length,
               void* reply, DWORD capacity) {
  return WebExchange({g_host, INTERNET_DEFAULT_HTTP_PORT, false}, path, accept, type, body, length, reply, capacity);
}

bool NoHost() {
  if (g_host[0]) return false;
  LogLine(LOG_CRLF, "No Lookup Host Set");
  return true;
}

// A coordinate member's value: finite and within `limit` degrees, else not taken.
bool ReadCoordinate(const char* text, double limit, double* out) {
  char* end = nullptr;
  float v = ParseCFloat(text, &end);
  if (end == text || !std::isfinite(v) || std::fabs(v) > limit) return false;
  *out = v;
  return true;
}

}  // namespace

void CancelWebLookups() {
  ++g_stops;
  std::lock_guard<std::mutex> hold(g_exchangeLock);
  if (g_exchangeCancel) __atomic_store_n(g_exchangeCancel, 1, __ATOMIC_RELEASE);
}

LONG WebLookupStops() { return g_stops; }

void ReadLookupHost() {
  HKEY key;
  g_host[0] = 0;
  if (OpenKey(u"Software\\Quorvale\\CellTower", &key) != ERROR_SUCCESS) return;
  WCHAR host[128] = {};
  if (ReadValue(key, u"LookupHost", host, sizeof host - sizeof(WCHAR)) == ERROR_SUCCESS)
    snprintf(g_host, sizeof g_host, "%s", WideToUtf8(host).c_str());
  RegCloseKey(key);
}

const char* LookupAccessToken() { return g_token; }

void BuildBinaryRequest(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, BYTE request[55]) {
  memset(request, 0, 55);
  request[1] = 14;
  request[16] = 27;
  PutBigEndian(request + 17, mnc);
  PutBigEndian(request + 21, mcc);
  PutBigEndian(request + 25, cid > 65535 ? 5 : 3);
  PutBigEndian(request + 31, cid);
  PutBigEndian(request + 35, lac);
  PutBigEndian(request + 39, mnc);
  PutBigEndian(request + 43, mcc);
  PutBigEndian(request + 47, 0xFFFFFFFFu);
}

int BinaryLookup(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid) {
  Busy busy;
  if (!busy.taken) return LOOKUP_NO_ANSWER;
  LogLine(LOG_CRLF, "Get Google Location");
  if (NoHost()) return LOOKUP_NO_ANSWER;
  BYTE buffer[58] = {};
  BuildBinaryRequest(mcc, mnc, lac, cid, buffer);
  LogData("IN", buffer + 17, 30);
  DWORD count = Exchange(u"/glm/mmap", u"application/binary", u"application/binary", buffer, 55, buffer, kBinaryReply);
  if (count == 0) return LOOKUP_NO_ANSWER;
  LogData("OUT", buffer, static_cast<int>(count));
  return ReadBinaryAnswer(buffer, count, &g_Lookup);
}

int ReadBinaryAnswer(const BYTE* reply, DWORD count, LookupResult* out) {
  if (count < kBinaryAnswerBytes) {  // too short to hold a status and a position
    LogPrintf(LOG_CRLF, "Google Returned %u Bytes Only", count);
    return LOOKUP_NO_ANSWER;
  }
  LONG status = BigEndian(reply + 3);
  LogPrintf(LOG_CRLF, "Google Returned: %d", status);
  if (status == 0) {
    LONG lat = BigEndian(reply + 7), lon = BigEndian(reply + 11);
    if (lat < -90000000 || lat > 90000000 || lon < -180000000 || lon > 180000000) return LOOKUP_NO_ANSWER;
    LogPrintf(LOG_CRLF, "Save Location: %d, %d", lat, lon);
    out->Latitude = lat * 0.000001;
    out->Longitude = lon * 0.000001;
    return LOOKUP_FOUND;
  }
  if (status == 1) {
    *out = {0, 0};
    return LOOKUP_NO_POSITION;
  }
  return LOOKUP_NO_ANSWER;
}

int ReadJsonAnswer(const char* text, LookupResult* out) {
  size_t length = strlen(text);
  bool haveLat = false, haveLon = false;
  double lat = 0, lon = 0;
  for (size_t p = 0; p < length; ++p) {
    if (strncmp(text + p, "\"latitude\":", 11) == 0) {
      p += 11;
      haveLat = ReadCoordinate(text + p, 90, &lat);
    }
    if (strncmp(text + p, "\"longitude\":", 12) == 0) {
      p += 12;
      haveLon = ReadCoordinate(text + p, 180, &lon);
    }
    if (strncmp(text + p, "\"access_token\":\"", 16) == 0) {
      p += 16;
      const char* end = strchr(text + p, '"');
      size_t n = end ? static_cast<size_t>(end - (text + p)) : length - p;
      if (n < sizeof g_token) {
        memcpy(g_token, text + p, n);
        g_token[n] = 0;
      } else {
        LogPrintf(LOG_CRLF, "Access Token of %u Characters Refused", static_cast<DWORD>(n));
      }
      p += n;
      if (p >= length) break;
    }
  }
  if (!haveLat || !haveLon) return LOOKUP_NO_POSITION;
  out->Latitude = lat;
  out->Longitude = lon;
  return LOOKUP_FOUND;
}

int JsonLookup(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, int signal, int timingAdvance) {
  Busy busy;
  if (!busy.taken) return LOOKUP_NO_ANSWER;
  LogLine(LOG_CRLF, "Get Google Location");
  if (NoHost()) return LOOKUP_NO_ANSWER;
  char buffer[kJsonReply + 1];
  int length = snprintf(buffer, sizeof buffer,
                        "{\"version\": \"1.1.0\",\"host\": \"%s\",\"access_token\":\"%s\",\"request_address\": "
                        "\"false\",\"cell_towers\":[{\"cell_id\":%d,\"location_area_code\":%d,\"mobile_country_code\":"
                        "%d,\"mobile_network_code\":%d,\"age\":0,\"signal_strength\":%d,\"timing_advance\":%d}]}",
                        g_host, g_token, static_cast<int>(cid), static_cast<int>(lac), static_cast<int>(mcc),
                        static_cast<int>(mnc), signal, timingAdvance);
  if (length < 0 || length >= static_cast<int>(kJsonReply)) {
    LogPrintf(LOG_CRLF, "Json Request of %d Bytes Too Long", length);
    return LOOKUP_NO_ANSWER;
  }
  LogPrintf(LOG_CRLF, "Json Request [%s]", buffer);
  DWORD count = Exchange(u"/loc/json", u"application/requestJson", u"application/requestJson", buffer,
                         static_cast<DWORD>(length), buffer, kJsonReply);
  if (count == 0) return LOOKUP_NO_ANSWER;
  buffer[count] = 0;
  if (count <= 2) return LOOKUP_NO_POSITION;
  LogPrintf(LOG_CRLF, "Json Return %d, [%s]", static_cast<int>(strlen(buffer)), buffer);
  return ReadJsonAnswer(buffer, &g_Lookup);
}
