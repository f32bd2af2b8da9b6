// The geolocation lookup: one JSON POST over HTTPS (certificates checked), one JSON answer.
#include "cell_service/geolocate.h"
#include <cmath>
#include <cstdio>
#include <cstring>
#include "platform/internet.h"
#include "platform/platform.h"
#include "platform/registry_values.h"
#include "platform/ril.h"
#include "support/c_numbers.h"
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

std::string g_url, g_key;
constexpr DWORD kGeolocateReply = 4096;

// The number after `name` in `text` (a JSON member), when finite and within +-limit.
bool Member(const char* text, const char* name, double limit, double* out) {
  const char* at = strstr(text, name);
  if (!at) return false;
  at += strlen(name);
  while (*at == ' ' || *at == ':') ++at;
  char* end = nullptr;
  double v = ParseCFloat(at, &end);
  if (end == at || !std::isfinite(v) || std::fabs(v) > limit) return false;
  *out = v;
  return true;
}

}  // namespace

void ReadGeolocateSettings() {
  g_url = PlatformReadText(u"Software\\Quorvale\\CellTower", u"GeolocateUrl");
  g_key = PlatformReadText(u"Software\\Quorvale\\CellTower", u"GeolocateKey");
}

bool GeolocateConfigured() { return !g_url.empty(); }

bool SplitLookupUrl(const std::string& url, std::string* host, WORD* port, bool* secure, std::string* path) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  std::string kind = url.substr(0, scheme);
  if (kind != "https" && kind != "http") return false;
  *secure = kind == "https";
  size_t start = scheme + 3, slash = url.find('/', start);
  std::string authority = url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
  *path = slash == std::string::npos ? "/" : url.substr(slash);
  size_t colon = authority.rfind(':');
  *port = *secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  if (colon != std::string::npos) {
    char* end = nullptr;
    unsigned long p = strtoul(authority.c_str() + colon + 1, &end, 10);
    if (*end || p == 0 || p > 65535) return false;
    *port = static_cast<WORD>(p);
    authority.resize(colon);
  }
  *host = authority;
  return !host->empty();
}

std::string GeolocateRequest(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, int signal) {
  char text[512];
  if (lac & kNrAreaMark) {  // 5G: the tracking area and the 36-bit id, whole
    unsigned long long nci = (static_cast<unsigned long long>(lac >> 24 & 0xF) << 32) | cid;
    snprintf(text, sizeof text,
             "{\"considerIp\":false,\"cellTowers\":[{\"radioType\":\"nr\",\"mobileCountryCode\":%u,"
             "\"mobileNetworkCode\":%u,\"locationAreaCode\":%u,\"cellId\":%llu,\"signalStrength\":%d}]}",
             mcc, mnc, lac & 0xFFFFFF, nci, signal);
  } else {
    snprintf(text, sizeof text,
             "{\"considerIp\":false,\"cellTowers\":[{\"mobileCountryCode\":%u,\"mobileNetworkCode\":%u,"
             "\"locationAreaCode\":%u,\"cellId\":%u,\"signalStrength\":%d}]}",
             mcc, mnc, lac, cid, signal);
  }
  return text;
}

int ReadGeolocateAnswer(const char* text, LookupResult* out, double* accuracy) {
  const char* location = strstr(text, "\"location\"");
  double lat, lon;
  if (!location || !Member(location, "\"lat\"", 90, &lat) || !Member(location, "\"lng\"", 180, &lon))
    return LOOKUP_NO_POSITION;
  out->Latitude = lat;
  out->Longitude = lon;
  if (!Member(text, "\"accuracy\"", 1e7, accuracy) || *accuracy < 0) *accuracy = 0;
  return LOOKUP_FOUND;
}

int GeolocateLookup(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, int signal, LookupResult* out, double* accuracy) {
  std::string host, path;
  WORD port;
  bool secure;
  if (!SplitLookupUrl(g_url, &host, &port, &secure, &path)) {
    LogPrintf(LOG_CRLF, "GeolocateUrl %s is no http(s) address", g_url.c_str());
    return LOOKUP_NO_ANSWER;
  }
  if (!g_key.empty()) path += (path.find('?') == std::string::npos ? "?key=" : "&key=") + g_key;
  std::string body = GeolocateRequest(mcc, mnc, lac, cid, signal);
  LogPrintf(LOG_CRLF, "Geolocate Request [%s]", body.c_str());
  char reply[kGeolocateReply + 1];
  DWORD count = WebExchange({host.c_str(), port, secure}, Utf8ToWide(path.c_str()).c_str(), u"application/json",
                            u"application/json", body.data(), static_cast<DWORD>(body.size()), reply, kGeolocateReply);
  if (count == 0) {
    LogLine(LOG_CRLF, "Geolocate: no answer (or not found)");
    return LOOKUP_NO_ANSWER;
  }
  reply[count] = 0;
  int found = ReadGeolocateAnswer(reply, out, accuracy);
  if (found == LOOKUP_FOUND)
    LogPrintf(LOG_CRLF, "Geolocate: %.6f, %.6f, accuracy %.0f m", out->Latitude, out->Longitude, *accuracy);
  return found;
}
