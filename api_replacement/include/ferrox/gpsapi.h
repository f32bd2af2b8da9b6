/* The GPS API of Ferrox for Linux programs (C11 or C++): positions of the Ferrox driver through
 * PosShim (libgpsapi.so), with the platform's own names and record layouts, so that code written
 * for the platform's GPS API compiles unchanged, and small helpers for its events.
 * Build with: cc prog.c $(pkg-config --cflags --libs ferrox-gpsapi)
 *
 * Units and signs a porting programmer must know:
 *  - speed in knots; heading (course over ground) in degrees true, 0 to 360;
 *  - latitude and longitude in degrees, north and east positive;
 *  - magnetic variation in degrees, WEST positive (an easterly variation is negative);
 *  - altitudes in metres, above mean sea level and above the WGS84 ellipsoid;
 *  - satellite elevation and azimuth in degrees, signal to noise in dB-Hz;
 *  - GPSGetPosition's maximum age counts, in milliseconds, from the moment this process received
 *    the position (not from the fix's UTC time); 0xFFFFFFFF (INFINITE) takes any position;
 *  - a field is meaningful only when its GPS_VALID_* bit is set in dwValidFields. */
#ifndef FERROX_GPSAPI_H
#define FERROX_GPSAPI_H
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The platform's base types. A program that has them from elsewhere defines
 * FERROX_GPSAPI_HAVE_PLATFORM_TYPES before including this header. */
#ifndef FERROX_GPSAPI_HAVE_PLATFORM_TYPES
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef uint16_t WCHAR; /* UTF-16 */
typedef void* HANDLE;
typedef struct _SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME;
typedef struct _FILETIME {
  DWORD dwLowDateTime; /* 100 ns since 1601-01-01, UTC */
  DWORD dwHighDateTime;
} FILETIME;
#endif
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0u
#endif

#define GPS_MAX_SATELLITES 12
#define GPS_MAX_PREFIX_NAME 16
#define GPS_MAX_FRIENDLY_NAME 64
#define GPS_VERSION_1 1

/* dwValidFields */
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

/* dwDeviceState and dwServiceState */
#define SERVICE_STATE_OFF 0u
#define SERVICE_STATE_ON 1u

typedef enum { GPS_FIX_UNKNOWN = 0, GPS_FIX_2D, GPS_FIX_3D } GPS_FIX_TYPE;
/* GPS_FIX_QUALITY_DGPS also stands for RTK fixed and RTK float fixes. */
typedef enum { GPS_FIX_QUALITY_UNKNOWN = 0, GPS_FIX_QUALITY_GPS, GPS_FIX_QUALITY_DGPS } GPS_FIX_QUALITY;
typedef enum { GPS_FIX_SELECTION_UNKNOWN = 0, GPS_FIX_SELECTION_AUTO, GPS_FIX_SELECTION_MANUAL } GPS_FIX_SELECTION;

typedef struct _GPS_POSITION {
  DWORD dwVersion; /* GPS_VERSION_1 */
  DWORD dwSize;    /* sizeof(GPS_POSITION), 344 */
  DWORD dwValidFields;
  DWORD dwFlags;
  SYSTEMTIME stUTCTime;
  double dblLatitude;  /* degrees, north positive */
  double dblLongitude; /* degrees, east positive */
  float flSpeed;       /* knots */
  float flHeading;     /* degrees true */
  double dblMagneticVariation; /* degrees, west positive */
  float flAltitudeWRTSeaLevel;  /* metres */
  float flAltitudeWRTEllipsoid; /* metres */
  GPS_FIX_QUALITY FixQuality;
  GPS_FIX_TYPE FixType;
  GPS_FIX_SELECTION SelectionType;
  float flPositionDilutionOfPrecision;
  float flHorizontalDilutionOfPrecision;
  float flVerticalDilutionOfPrecision;
  DWORD dwSatelliteCount; /* satellites used in the fix */
  DWORD rgdwSatellitesUsedPRNs[GPS_MAX_SATELLITES];
  DWORD dwSatellitesInView;
  DWORD rgdwSatellitesInViewPRNs[GPS_MAX_SATELLITES];
  DWORD rgdwSatellitesInViewElevation[GPS_MAX_SATELLITES]; /* degrees */
  DWORD rgdwSatellitesInViewAzimuth[GPS_MAX_SATELLITES];   /* degrees */
  DWORD rgdwSatellitesInViewSignalToNoiseRatio[GPS_MAX_SATELLITES]; /* dB-Hz */
} GPS_POSITION, *PGPS_POSITION;

typedef struct _GPS_DEVICE {
  DWORD dwVersion; /* GPS_VERSION_1 */
  DWORD dwSize;    /* sizeof(GPS_DEVICE), 216 */
  DWORD dwServiceState;
  DWORD dwDeviceState;
  FILETIME ftLastDataReceived; /* UTC of the last position */
  WCHAR szGPSDriverPrefix[GPS_MAX_PREFIX_NAME];
  WCHAR szGPSMultiplexPrefix[GPS_MAX_PREFIX_NAME];
  WCHAR szGPSFriendlyName[GPS_MAX_FRIENDLY_NAME];
} GPS_DEVICE, *PGPS_DEVICE;

#ifdef __cplusplus
#define FERROX_STATIC_ASSERT static_assert
#else
#define FERROX_STATIC_ASSERT _Static_assert
#endif
FERROX_STATIC_ASSERT(sizeof(GPS_FIX_QUALITY) == 4, "an enum of the record is 4 bytes");
FERROX_STATIC_ASSERT(sizeof(GPS_POSITION) == 344, "the platform's position record");
FERROX_STATIC_ASSERT(offsetof(GPS_POSITION, stUTCTime) == 16, "time");
FERROX_STATIC_ASSERT(offsetof(GPS_POSITION, dblLatitude) == 32, "latitude");
FERROX_STATIC_ASSERT(offsetof(GPS_POSITION, dblMagneticVariation) == 56, "variation");
FERROX_STATIC_ASSERT(offsetof(GPS_POSITION, FixQuality) == 72, "fix quality");
FERROX_STATIC_ASSERT(offsetof(GPS_POSITION, dwSatelliteCount) == 96, "satellite count");
FERROX_STATIC_ASSERT(offsetof(GPS_POSITION, rgdwSatellitesInViewSignalToNoiseRatio) == 296, "sky");
FERROX_STATIC_ASSERT(sizeof(GPS_DEVICE) == 216, "the platform's device record");
FERROX_STATIC_ASSERT(offsetof(GPS_DEVICE, ftLastDataReceived) == 16, "last data");
FERROX_STATIC_ASSERT(offsetof(GPS_DEVICE, szGPSFriendlyName) == 88, "friendly name");

/* The GPS API. GPSOpenDevice returns null on failure; the others 0 (ERROR_SUCCESS) or an error
 * code (GPSGetPosition: 1 when no position is as fresh as maxAge asks). The two events (either
 * may be null) are set for each new position and each change of the device's state. */
HANDLE GPSOpenDevice(HANDLE hNewLocationData, HANDLE hDeviceStateChange, const WCHAR* szDeviceName, DWORD dwFlags);
DWORD GPSCloseDevice(HANDLE hGPSDevice);
DWORD GPSGetPosition(HANDLE hGPSDevice, GPS_POSITION* pGPSPosition, DWORD dwMaximumAge, DWORD dwFlags);
DWORD GPSGetDeviceState(GPS_DEVICE* pGPSDevice);
/* Passed to the platform's own library; 50 (not supported) where it has no such parameter. */
DWORD GPSGetDeviceParam(HANDLE hGPSDevice, DWORD dwParamName, BYTE* pbParamData, DWORD* pcbDataLen);
DWORD GPSSetDeviceParam(HANDLE hGPSDevice, DWORD dwParamName, BYTE* pbParamData, DWORD cbDataLen);

/* Events for GPSOpenDevice: made, waited on (1 set, 0 not within ms), polled through a descriptor
 * that becomes readable when the event is set (read 8 bytes from it to clear it), closed. */
void* FerroxEventCreate(void);
int FerroxEventWait(void* event, uint32_t ms);
int FerroxEventFd(void* event);
void FerroxEventClose(void* event);

/* The names of earlier Ferrox releases. */
typedef SYSTEMTIME FerroxSystemTime;
typedef GPS_POSITION FerroxGpsPosition;
typedef GPS_DEVICE FerroxGpsDevice;
#define FERROX_GPS_MAX_SATELLITES GPS_MAX_SATELLITES
#define FERROX_GPS_VERSION_1 GPS_VERSION_1
#define FERROX_GPS_VALID_UTC_TIME GPS_VALID_UTC_TIME
#define FERROX_GPS_VALID_LATITUDE GPS_VALID_LATITUDE
#define FERROX_GPS_VALID_LONGITUDE GPS_VALID_LONGITUDE
#define FERROX_GPS_VALID_SPEED GPS_VALID_SPEED
#define FERROX_GPS_VALID_HEADING GPS_VALID_HEADING
#define FERROX_GPS_VALID_MAGNETIC_VARIATION GPS_VALID_MAGNETIC_VARIATION
#define FERROX_GPS_VALID_ALTITUDE_WRT_SEA_LEVEL GPS_VALID_ALTITUDE_WRT_SEA_LEVEL
#define FERROX_GPS_VALID_ALTITUDE_WRT_ELLIPSOID GPS_VALID_ALTITUDE_WRT_ELLIPSOID
#define FERROX_GPS_VALID_POSITION_DILUTION_OF_PRECISION GPS_VALID_POSITION_DILUTION_OF_PRECISION
#define FERROX_GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION
#define FERROX_GPS_VALID_VERTICAL_DILUTION_OF_PRECISION GPS_VALID_VERTICAL_DILUTION_OF_PRECISION
#define FERROX_GPS_VALID_SATELLITE_COUNT GPS_VALID_SATELLITE_COUNT
#define FERROX_GPS_VALID_SATELLITES_USED_PRNS GPS_VALID_SATELLITES_USED_PRNS
#define FERROX_GPS_VALID_SATELLITES_IN_VIEW GPS_VALID_SATELLITES_IN_VIEW

#ifdef __cplusplus
}
#endif
#endif
