/* The GPS API of Ferrox for Linux programs (C11 or C++): positions of the Ferrox driver through
 * PosShim (libgpsapi.so), with the platform's record layouts and small helpers for its events.
 * Build with: cc prog.c $(pkg-config --cflags --libs ferrox-gpsapi) */
#ifndef FERROX_GPSAPI_H
#define FERROX_GPSAPI_H
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FERROX_GPS_MAX_SATELLITES 12
#define FERROX_GPS_VERSION_1 1

/* dwValidFields */
#define FERROX_GPS_VALID_UTC_TIME 0x00000001u
#define FERROX_GPS_VALID_LATITUDE 0x00000002u
#define FERROX_GPS_VALID_LONGITUDE 0x00000004u
#define FERROX_GPS_VALID_SPEED 0x00000008u
#define FERROX_GPS_VALID_HEADING 0x00000010u
#define FERROX_GPS_VALID_MAGNETIC_VARIATION 0x00000020u
#define FERROX_GPS_VALID_ALTITUDE_WRT_SEA_LEVEL 0x00000040u
#define FERROX_GPS_VALID_ALTITUDE_WRT_ELLIPSOID 0x00000080u
#define FERROX_GPS_VALID_POSITION_DILUTION_OF_PRECISION 0x00000100u
#define FERROX_GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION 0x00000200u
#define FERROX_GPS_VALID_VERTICAL_DILUTION_OF_PRECISION 0x00000400u
#define FERROX_GPS_VALID_SATELLITE_COUNT 0x00000800u
#define FERROX_GPS_VALID_SATELLITES_USED_PRNS 0x00001000u
#define FERROX_GPS_VALID_SATELLITES_IN_VIEW 0x00002000u

typedef struct {
  uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} FerroxSystemTime;

typedef struct {
  uint32_t dwVersion; /* FERROX_GPS_VERSION_1 */
  uint32_t dwSize;    /* sizeof(FerroxGpsPosition), 344 */
  uint32_t dwValidFields;
  uint32_t dwFlags;
  FerroxSystemTime stUTCTime;
  double dblLatitude;  /* degrees, north positive */
  double dblLongitude; /* degrees, east positive */
  float flSpeed;       /* knots */
  float flHeading;     /* degrees, true */
  double dblMagneticVariation;
  float flAltitudeWRTSeaLevel;
  float flAltitudeWRTEllipsoid;
  uint32_t FixQuality; /* 0 unknown, 1 GPS, 2 DGPS */
  uint32_t FixType;    /* 0 none, 1 2D, 2 3D */
  uint32_t SelectionType;
  float flPositionDilutionOfPrecision;
  float flHorizontalDilutionOfPrecision;
  float flVerticalDilutionOfPrecision;
  uint32_t dwSatelliteCount;
  uint32_t rgdwSatellitesUsedPRNs[FERROX_GPS_MAX_SATELLITES];
  uint32_t dwSatellitesInView;
  uint32_t rgdwSatellitesInViewPRNs[FERROX_GPS_MAX_SATELLITES];
  uint32_t rgdwSatellitesInViewElevation[FERROX_GPS_MAX_SATELLITES];
  uint32_t rgdwSatellitesInViewAzimuth[FERROX_GPS_MAX_SATELLITES];
  uint32_t rgdwSatellitesInViewSignalToNoiseRatio[FERROX_GPS_MAX_SATELLITES];
} FerroxGpsPosition;

typedef struct {
  uint32_t dwVersion; /* FERROX_GPS_VERSION_1 */
  uint32_t dwSize;    /* sizeof(FerroxGpsDevice), 216 */
  uint32_t dwServiceState;
  uint32_t dwDeviceState;
  uint64_t ftLastDataReceived; /* 100 ns since 1601, UTC */
  uint16_t szGPSDriverPrefix[16];
  uint16_t szGPSMultiplexPrefix[16];
  uint16_t szGPSFriendlyName[64];
} FerroxGpsDevice;

#ifdef __cplusplus
#define FERROX_STATIC_ASSERT static_assert
#else
#define FERROX_STATIC_ASSERT _Static_assert
#endif
FERROX_STATIC_ASSERT(sizeof(FerroxGpsPosition) == 344, "the platform's position record");
FERROX_STATIC_ASSERT(offsetof(FerroxGpsPosition, dblLatitude) == 32, "latitude");
FERROX_STATIC_ASSERT(offsetof(FerroxGpsPosition, FixQuality) == 72, "fix quality");
FERROX_STATIC_ASSERT(offsetof(FerroxGpsPosition, rgdwSatellitesInViewSignalToNoiseRatio) == 296, "sky");
FERROX_STATIC_ASSERT(sizeof(FerroxGpsDevice) == 216, "the platform's device record");
FERROX_STATIC_ASSERT(offsetof(FerroxGpsDevice, szGPSFriendlyName) == 88, "friendly name");

/* The GPS API: 0 for success, else an error code; GPSOpenDevice returns null on failure. */
void* GPSOpenDevice(void* newLocationEvent, void* deviceStateEvent, const uint16_t* deviceName, uint32_t flags);
uint32_t GPSCloseDevice(void* device);
uint32_t GPSGetPosition(void* device, FerroxGpsPosition* position, uint32_t maximumAgeMs, uint32_t flags);
uint32_t GPSGetDeviceState(FerroxGpsDevice* device);

/* Events for GPSOpenDevice: made, waited on (1 set, 0 not within ms), polled through a descriptor
 * that becomes readable when the event is set (read 8 bytes from it to clear it), closed. */
void* FerroxEventCreate(void);
int FerroxEventWait(void* event, uint32_t ms);
int FerroxEventFd(void* event);
void FerroxEventClose(void* event);

#ifdef __cplusplus
}
#endif
#endif
