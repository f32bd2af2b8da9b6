// The platform GPS API's position record (version 1), with the platform's published names.
#pragma once
#include <cstddef>
#include "platform/types.h"

#define GPS_MAX_SATELLITES 12
#define GPS_VERSION_1 1

#define GPS_VALID_UTC_TIME 0x00000001u
#define GPS_VALID_LATITUDE 0x00000002u
#define GPS_VALID_LONGITUDE 0x00000004u
#define GPS_VALID_SPEED 0x00000008u
#define GPS_VALID_HEADING 0x00000010u
#define GPS_VALID_MAGNETIC_VARIATION 0x00000020u
#define GPS_VALID_ALTITUDE_WRT_SEA_LEVEL 0x00000040u
#define GPS_VALID_ALTITUDE_WRT_ELLIPSOID 0x00000080u
#define GPS_VALID_POSITION_DILUTION_OF_PRECISION 0x00000100u
#define GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION 0x00000200u
#define GPS_VALID_VERTICAL_DILUTION_OF_PRECISION 0x00000400u
#define GPS_VALID_SATELLITE_COUNT 0x00000800u
#define GPS_VALID_SATELLITES_USED_PRNS 0x00001000u
#define GPS_VALID_SATELLITES_IN_VIEW 0x00002000u
#define GPS_VALID_SATELLITES_IN_VIEW_PRNS 0x00004000u
#define GPS_VALID_SATELLITES_IN_VIEW_ELEVATION 0x00008000u
#define GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH 0x00010000u
#define GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO 0x00020000u

enum GPS_FIX_QUALITY { GPS_FIX_QUALITY_UNKNOWN = 0, GPS_FIX_QUALITY_GPS, GPS_FIX_QUALITY_DGPS };
enum GPS_FIX_TYPE { GPS_FIX_UNKNOWN = 0, GPS_FIX_2D, GPS_FIX_3D };
enum GPS_FIX_SELECTION { GPS_FIX_SELECTION_UNKNOWN = 0, GPS_FIX_SELECTION_AUTO, GPS_FIX_SELECTION_MANUAL };

struct GPS_POSITION {
  DWORD dwVersion;
  DWORD dwSize;
  DWORD dwValidFields;
  DWORD dwFlags;
  SYSTEMTIME stUTCTime;
  double dblLatitude;
  double dblLongitude;
  float flSpeed;  // knots
  float flHeading;
  double dblMagneticVariation;
  float flAltitudeWRTSeaLevel;
  float flAltitudeWRTEllipsoid;
  GPS_FIX_QUALITY FixQuality;
  GPS_FIX_TYPE FixType;
  GPS_FIX_SELECTION SelectionType;
  float flPositionDilutionOfPrecision;
  float flHorizontalDilutionOfPrecision;
  float flVerticalDilutionOfPrecision;
  DWORD dwSatelliteCount;
  DWORD rgdwSatellitesUsedPRNs[GPS_MAX_SATELLITES];
  DWORD dwSatellitesInView;
  DWORD rgdwSatellitesInViewPRNs[GPS_MAX_SATELLITES];
  DWORD rgdwSatellitesInViewElevation[GPS_MAX_SATELLITES];
  DWORD rgdwSatellitesInViewAzimuth[GPS_MAX_SATELLITES];
  DWORD rgdwSatellitesInViewSignalToNoiseRatio[GPS_MAX_SATELLITES];
};
static_assert(sizeof(GPS_FIX_QUALITY) == 4);
static_assert(sizeof(GPS_POSITION) == 344);
static_assert(offsetof(GPS_POSITION, dwFlags) == 12);
static_assert(offsetof(GPS_POSITION, stUTCTime) == 16);
static_assert(offsetof(GPS_POSITION, dblLatitude) == 32);
static_assert(offsetof(GPS_POSITION, flSpeed) == 48);
static_assert(offsetof(GPS_POSITION, dblMagneticVariation) == 56);
static_assert(offsetof(GPS_POSITION, flAltitudeWRTSeaLevel) == 64);
static_assert(offsetof(GPS_POSITION, FixQuality) == 72);
static_assert(offsetof(GPS_POSITION, SelectionType) == 80);
static_assert(offsetof(GPS_POSITION, flPositionDilutionOfPrecision) == 84);
static_assert(offsetof(GPS_POSITION, dwSatelliteCount) == 96);
static_assert(offsetof(GPS_POSITION, rgdwSatellitesUsedPRNs) == 100);
static_assert(offsetof(GPS_POSITION, dwSatellitesInView) == 148);
static_assert(offsetof(GPS_POSITION, rgdwSatellitesInViewPRNs) == 152);
static_assert(offsetof(GPS_POSITION, rgdwSatellitesInViewSignalToNoiseRatio) == 296);

// The device state record (version 1, 216 bytes).
#define GPS_MAX_PREFIX_NAME 16
#define GPS_MAX_FRIENDLY_NAME 64
enum : DWORD { SERVICE_STATE_OFF = 0, SERVICE_STATE_ON = 1 };
struct GPS_DEVICE {
  DWORD dwVersion;
  DWORD dwSize;
  DWORD dwServiceState;
  DWORD dwDeviceState;
  FILETIME ftLastDataReceived;
  WCHAR szGPSDriverPrefix[GPS_MAX_PREFIX_NAME];
  WCHAR szGPSMultiplexPrefix[GPS_MAX_PREFIX_NAME];
  WCHAR szGPSFriendlyName[GPS_MAX_FRIENDLY_NAME];
};
static_assert(sizeof(GPS_DEVICE) == 216);
static_assert(offsetof(GPS_DEVICE, ftLastDataReceived) == 16);
static_assert(offsetof(GPS_DEVICE, szGPSDriverPrefix) == 24);
static_assert(offsetof(GPS_DEVICE, szGPSMultiplexPrefix) == 56);
static_assert(offsetof(GPS_DEVICE, szGPSFriendlyName) == 88);

// The position record some platforms use: the 344 bytes and 32 more.
constexpr DWORD kGpsPositionBigSize = 376;

// The six calls a GPS API library exports (the platform's own, PosShim, PosClient).
extern "C" {
HANDLE GPSOpenDevice(HANDLE newLocation, HANDLE stateChange, const WCHAR* name, DWORD flags);
DWORD GPSCloseDevice(HANDLE device);
DWORD GPSGetPosition(HANDLE device, GPS_POSITION* position, DWORD maxAge, DWORD flags);
DWORD GPSGetDeviceState(GPS_DEVICE* device);
DWORD GPSGetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD* size);
DWORD GPSSetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD size);
}

// The same six, as a program that loads a GPS API library resolves them.
struct GpsApiCalls {
  HANDLE (*open)(HANDLE newLocation, HANDLE stateChange, const WCHAR* name, DWORD flags);
  DWORD (*close)(HANDLE device);
  DWORD (*getPosition)(HANDLE device, GPS_POSITION* position, DWORD maxAge, DWORD flags);
  DWORD (*getDeviceState)(GPS_DEVICE* device);
  DWORD (*getDeviceParam)(HANDLE device, DWORD parameter, BYTE* data, DWORD* size);
  DWORD (*setDeviceParam)(HANDLE device, DWORD parameter, BYTE* data, DWORD size);
};
typedef struct HINSTANCE__* HMODULE;
// Fills `calls` from a loaded library; FALSE (and `calls` all null) when one of the six is missing.
BOOL ResolveGpsApiCalls(HMODULE library, GpsApiCalls* calls);
