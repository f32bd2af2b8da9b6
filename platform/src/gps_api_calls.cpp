#include "platform/devices.h"
#include "platform/gps_api.h"

namespace {

template <typename F>
bool Resolve(HMODULE library, F* slot, const char16_t* name) {
  *slot = reinterpret_cast<F>(GetProcAddressW(library, name));
  return *slot != nullptr;
}

}  // namespace

BOOL ResolveGpsApiCalls(HMODULE library, GpsApiCalls* calls) {
  GpsApiCalls c{};
  bool all = Resolve(library, &c.open, u"GPSOpenDevice") && Resolve(library, &c.close, u"GPSCloseDevice") &&
             Resolve(library, &c.getPosition, u"GPSGetPosition") &&
             Resolve(library, &c.getDeviceState, u"GPSGetDeviceState") &&
             Resolve(library, &c.getDeviceParam, u"GPSGetDeviceParam") &&
             Resolve(library, &c.setDeviceParam, u"GPSSetDeviceParam");
  *calls = all ? c : GpsApiCalls{};
  return all ? TRUE : FALSE;
}
