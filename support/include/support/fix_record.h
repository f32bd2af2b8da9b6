// FixRecord: the 344-byte position record every source fills, the correction stage rewrites,
// the sentence writer prints and raw channel reads hand out byte for byte. It has the layout of
// the platform GPS API's GPS_POSITION (version 1); speed is in km/h and the flags word carries
// Orientation, ProfileNumber and SourceKind.
#pragma once
#include <cstddef>
#include "platform/types.h"

constexpr int kMaxSatellites = 12;

struct FixRecord {
  DWORD Version;
  DWORD Size;
  DWORD ValidFields;
  BYTE Orientation;
  BYTE ProfileNumber;
  BYTE SourceKind;
  BYTE Reserved;
  SYSTEMTIME UtcTime;
  double Latitude;
  double Longitude;
  float Speed;             // km/h
  float Heading;           // true course, degrees
  float MagVariation;      // degrees, west positive
  float MagHeading;        // degrees
  float AltitudeSeaLevel;  // m
  float Separation;        // geoid above the ellipsoid, m
  DWORD FixQuality;
  DWORD FixType;           // 0 none, 1 2D, 2 3D
  DWORD SelectionType;     // 0 unknown, 1 automatic, 2 manual
  float Pdop;
  float Hdop;
  float Vdop;
  DWORD SatelliteCount;
  DWORD UsedPrns[kMaxSatellites];
  DWORD SatellitesInView;
  DWORD InViewPrns[kMaxSatellites];
  DWORD InViewElevation[kMaxSatellites];
  DWORD InViewAzimuth[kMaxSatellites];
  DWORD InViewSnr[kMaxSatellites];
};
static_assert(sizeof(FixRecord) == 344);
static_assert(offsetof(FixRecord, ValidFields) == 8);
static_assert(offsetof(FixRecord, Orientation) == 12);
static_assert(offsetof(FixRecord, ProfileNumber) == 13);
static_assert(offsetof(FixRecord, SourceKind) == 14);
static_assert(offsetof(FixRecord, UtcTime) == 16);
static_assert(offsetof(FixRecord, Latitude) == 32);
static_assert(offsetof(FixRecord, Longitude) == 40);
static_assert(offsetof(FixRecord, Speed) == 48);
static_assert(offsetof(FixRecord, Heading) == 52);
static_assert(offsetof(FixRecord, MagVariation) == 56);
static_assert(offsetof(FixRecord, MagHeading) == 60);
static_assert(offsetof(FixRecord, AltitudeSeaLevel) == 64);
static_assert(offsetof(FixRecord, Separation) == 68);
static_assert(offsetof(FixRecord, FixQuality) == 72);
static_assert(offsetof(FixRecord, FixType) == 76);
static_assert(offsetof(FixRecord, SelectionType) == 80);
static_assert(offsetof(FixRecord, Pdop) == 84);
static_assert(offsetof(FixRecord, Hdop) == 88);
static_assert(offsetof(FixRecord, Vdop) == 92);
static_assert(offsetof(FixRecord, SatelliteCount) == 96);
static_assert(offsetof(FixRecord, UsedPrns) == 100);
static_assert(offsetof(FixRecord, SatellitesInView) == 148);
static_assert(offsetof(FixRecord, InViewPrns) == 152);
static_assert(offsetof(FixRecord, InViewElevation) == 200);
static_assert(offsetof(FixRecord, InViewAzimuth) == 248);
static_assert(offsetof(FixRecord, InViewSnr) == 296);

// ValidFields bits.
constexpr DWORD FIX_TIME = 0x1;
constexpr DWORD FIX_LATITUDE = 0x2;
constexpr DWORD FIX_LONGITUDE = 0x4;
constexpr DWORD FIX_SPEED = 0x8;
constexpr DWORD FIX_HEADING = 0x10;
constexpr DWORD FIX_MAG_VARIATION = 0x20;
constexpr DWORD FIX_ALTITUDE_SEA_LEVEL = 0x40;
constexpr DWORD FIX_SEPARATION = 0x80;
constexpr DWORD FIX_PDOP = 0x100;
constexpr DWORD FIX_HDOP = 0x200;
constexpr DWORD FIX_VDOP = 0x400;
constexpr DWORD FIX_SATELLITE_COUNT = 0x800;
constexpr DWORD FIX_USED_PRNS = 0x1000;
constexpr DWORD FIX_IN_VIEW_COUNT = 0x2000;
constexpr DWORD FIX_IN_VIEW_PRNS = 0x4000;
constexpr DWORD FIX_IN_VIEW_ELEVATION = 0x8000;
constexpr DWORD FIX_IN_VIEW_AZIMUTH = 0x10000;
constexpr DWORD FIX_IN_VIEW_SNR = 0x20000;
constexpr DWORD FIX_DATE = 0x40000;
constexpr DWORD FIX_COMPASS_IN_USE = 0x800000;
constexpr DWORD FIX_MAG_HEADING = 0x1000000;
constexpr DWORD FIX_COURSE_FROM_COMPASS = 0x2000000;

// Groups.
// Time, latitude, longitude, date: a usable position.
constexpr DWORD FIX_POSITION_GROUP = FIX_TIME | FIX_LATITUDE | FIX_LONGITUDE | FIX_DATE;
// A usable position with speed and course: what a scan asks of a candidate port.
constexpr DWORD FIX_MOVING_POSITION_GROUP = FIX_POSITION_GROUP | FIX_SPEED | FIX_HEADING;
// Count, PRNs, elevation, azimuth, SNR of the satellites in view.
constexpr DWORD FIX_IN_VIEW_GROUP =
    FIX_IN_VIEW_COUNT | FIX_IN_VIEW_PRNS | FIX_IN_VIEW_ELEVATION | FIX_IN_VIEW_AZIMUTH | FIX_IN_VIEW_SNR;
// The in-view group and the used PRNs.
constexpr DWORD FIX_SATELLITE_GROUP = FIX_IN_VIEW_GROUP | FIX_USED_PRNS;
// Both altitudes.
constexpr DWORD FIX_ALTITUDE_GROUP = FIX_ALTITUDE_SEA_LEVEL | FIX_SEPARATION;
// Every per-field bit of a sentence burst but the variation, with the date.
constexpr DWORD FIX_COMPLETE_BURST = FIX_MOVING_POSITION_GROUP | FIX_ALTITUDE_GROUP | FIX_PDOP | FIX_HDOP | FIX_VDOP |
                                     FIX_SATELLITE_COUNT | FIX_SATELLITE_GROUP;
// As above without the in-view group.
constexpr DWORD FIX_COMPLETE_NO_SKY = FIX_COMPLETE_BURST & ~FIX_IN_VIEW_GROUP;
// The values stored records and peers have always seen.
static_assert(FIX_POSITION_GROUP == 0x40007 && FIX_MOVING_POSITION_GROUP == 0x4001F);
static_assert(FIX_IN_VIEW_GROUP == 0x3E000 && FIX_SATELLITE_GROUP == 0x3F000 && FIX_ALTITUDE_GROUP == 0xC0);
static_assert(FIX_COMPLETE_BURST == 0x7FFDF && FIX_COMPLETE_NO_SKY == 0x41FDF);

// SourceKind values.
constexpr BYTE SOURCE_UNKNOWN = 0;
constexpr BYTE SOURCE_PLATFORM_API = 1;   // COMn is n + 1
constexpr BYTE SOURCE_CELL_OR_STORED = 16;
constexpr BYTE SOURCE_LAST_KNOWN = 32;
// The low bits name the receiver a record came from (the platform's API, or a serial port).
constexpr BYTE SOURCE_RECEIVER_MASK = 0x0F;
