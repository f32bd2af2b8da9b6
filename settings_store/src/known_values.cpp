// The table of the values Ferrox reads, by key. '#' in a key stands for one digit (Profile1,
// COM4:). Keys whose value names are free (the status keys, the host table) are not listed.
#include "settings_store/known_values.h"
#include "platform/registry.h"
#include "platform/wide.h"

namespace {

struct KnownValue {
  const char16_t* key;
  const char16_t* name;
  DWORD type;
};

#define Q u"Software\\Quorvale\\"
constexpr DWORD D = REG_DWORD, S = REG_SZ, B = REG_BINARY, E = KNOWN_TEXT_OR_NUMBER;

const KnownValue kKnown[] = {
    {Q u"FerroxDriver", u"EnableLogs", D}, {Q u"FerroxDriver", u"EnableTrack", D},
    {Q u"FerroxDriver", u"EnableScan", D}, {Q u"FerroxDriver", u"GpsComPort", D},
    {Q u"FerroxDriver", u"EnableSmooth", D}, {Q u"FerroxDriver", u"EnableQuiet", D},
    {Q u"FerroxDriver", u"SleepTime", D}, {Q u"FerroxDriver", u"EnableAltSep", D},
    {Q u"FerroxDriver", u"CurrentProfile", D}, {Q u"FerroxDriver", u"ComTimeOut", D},
    {Q u"FerroxDriver", u"KeepAlive", D}, {Q u"FerroxDriver", u"StrictNmea", D},
    {Q u"FerroxDriver", u"GpsidSleep", D}, {Q u"FerroxDriver", u"GpsidInputBuffer", D},
    {Q u"FerroxDriver", u"GpsidOutputBuffer", D}, {Q u"FerroxDriver", u"GpsidPoll", D},
    {Q u"FerroxDriver", u"Profile1Name", S}, {Q u"FerroxDriver", u"Profile2Name", S},
    {Q u"FerroxDriver", u"PortConfig", B}, {Q u"FerroxDriver", u"ChronySocket", S},
    {Q u"FerroxDriver\\Profile#", u"DeltaDistance", D}, {Q u"FerroxDriver\\Profile#", u"MinSpeed", D},
    {Q u"FerroxDriver\\Profile#", u"DeltaSpeed", D}, {Q u"FerroxDriver\\Profile#", u"DeltaTime", D},
    {Q u"FerroxDriver\\Profile#", u"LagAdvance", D}, {Q u"FerroxDriver\\Profile#", u"EnableDop", D},
    {Q u"FerroxDriver\\Profile#", u"EnableCourse", D}, {Q u"FerroxDriver\\Profile#", u"EnableSpeed", D},
    {Q u"FerroxDriver\\Profile#", u"MagVal", D}, {Q u"FerroxDriver\\Profile#", u"MagLand", D},
    {Q u"FerroxDriver\\Profile#", u"EnableCompass", D}, {Q u"FerroxDriver\\Profile#", u"HonestStill", D},
    {Q u"FerroxDriver\\Profile#", u"AutoLag", D}, {Q u"FerroxDriver\\Profile#", u"FallbackAsNoFix", D},
    {Q u"FerroxDriver\\Profile#", u"Smooth", D},
    {Q u"Gyrolet", u"PollRate", D}, {Q u"Gyrolet", u"NumAvg", D}, {Q u"Gyrolet", u"CompassAngle", D},
    {Q u"Gyrolet", u"CompassSpeed", D}, {Q u"Gyrolet", u"AutoEnable", D}, {Q u"Gyrolet", u"AutoAngle", D},
    {Q u"CellTower", u"EnableCells", D}, {Q u"CellTower", u"MaxCells", D}, {Q u"CellTower", u"CurMcc", D},
    {Q u"CellTower", u"LookupRetrySeconds", D}, {Q u"CellTower", u"CellCount", D},
    {Q u"CellTower", u"GeolocateUrl", E}, {Q u"CellTower", u"GeolocateKey", E}, {Q u"CellTower", u"LookupHost", S},
    {Q u"CellTower", u"CurrentCell", S}, {Q u"CellTower", u"LastSource", S}, {Q u"CellTower", u"LastCell", S},
    {Q u"CellTower", u"Latitude", S}, {Q u"CellTower", u"Longitude", S},
    {Q u"CellTower", u"LastGpsUpdateTime", B}, {Q u"CellTower", u"LastTowerUpdateTime", B},
    {Q u"SerialPorts\\COM#:", u"Device", S}, {Q u"SerialPorts\\COM#:", u"BaudRate", D},
    {Q u"Frxd", u"TcpPort", D}, {Q u"Frxd", u"AllowWrites", D}, {Q u"Frxd", u"SocketMode", D},
    {Q u"Frxd", u"TcpAddress", E}, {Q u"Frxd", u"PtyLink", E}, {Q u"Frxd", u"GpsdControl", E},
    {Q u"Frxd", u"NmeaSocket", E},
    {Q u"Gpsd", u"Host", E}, {Q u"Gpsd", u"Port", E}, {Q u"Gpsd", u"Device", E},
    {Q u"Sensors", u"Backend", E}, {Q u"Sensors", u"IioRoot", E},
    {Q u"Radio", u"Backend", E}, {Q u"Radio", u"Link", E},
    {Q u"Internet", u"CaFile", E}, {Q u"Internet", u"ConnectTimeout", E}, {Q u"Internet", u"Timeout", E},
};
#undef Q

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool Same(const char16_t* pattern, const char16_t* text) {
  for (; *pattern && *text; ++pattern, ++text) {
    if (*pattern == u'#' ? !(*text >= u'0' && *text <= u'9') : Lower(*pattern) != Lower(*text)) return false;
  }
  return *pattern == *text;
}

}  // namespace

int LookUpKnownValue(LPCWSTR key, LPCWSTR name, DWORD* type) {
  int answer = KEY_NOT_CHECKED;
  for (const KnownValue& v : kKnown) {
    if (!Same(v.key, key)) continue;
    answer = VALUE_UNKNOWN;
    if (!Same(v.name, name)) continue;
    if (type) *type = v.type;
    return VALUE_KNOWN;
  }
  return answer;
}

const char* KnownTypeName(DWORD type) {
  switch (type) {
    case REG_DWORD: return "dword";
    case REG_SZ: return "sz";
    case REG_BINARY: return "binary";
    case KNOWN_TEXT_OR_NUMBER: return "sz or dword";
    default: return "other";
  }
}
