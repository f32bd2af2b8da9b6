#include "host_settings.h"
#include "platform/holders.h"
#include "platform/registry_values.h"
#include "settings_store/settings.h"
#include "support/reg_helpers.h"

static std::string ReadText(HKEY k, LPCWSTR name, const std::string& fallback) {
  WCHAR text[256] = {};
  if (!k || ReadValue(k, name, text, sizeof text - 2) != ERROR_SUCCESS || !text[0]) return fallback;
  return WideToUtf8(text);
}

HostSettings LoadHostSettings() {
  HostSettings s{PlatformRoot() + "/dev/ttyFRX0", "127.0.0.1", 10110, 0, 0600, "", "", ""};
  RegKeyHolder k;
  if (OpenKey(HOST_KEY, k.Out()) != ERROR_SUCCESS) k.Reset();
  s.ptyLink = ReadText(k, u"PtyLink", s.ptyLink);
  s.tcpAddress = ReadText(k, u"TcpAddress", s.tcpAddress);
  s.nmeaSocket = ReadText(k, u"NmeaSocket", "");
  s.gpsdControl = ReadText(k, u"GpsdControl", "");
  if (k) {
    ReadDword(k, u"TcpPort", &s.tcpPort);
    ReadDword(k, u"AllowWrites", &s.allowWrites);
    ReadDword(k, u"SocketMode", &s.socketMode);
  }
  s.chronySocket = PlatformReadText(MAIN_KEY, u"ChronySocket");
  return s;
}
