// The NMEA sentences printed for one FixRecord. Each generator writes one sentence with its
// checksum and CR LF into `out` (at most `size` bytes, always terminated) and returns its length.
#pragma once
#include <cstddef>
#include "support/fix_record.h"

// The batch of one record always fits this size, whatever the record holds.
constexpr size_t kNmeaBatchSize = 1024;

double DegreesToDdmm(double degrees);
// "ddmm.mmmmmm,N" (11 digits and point) and "dddmm.mmmmmm,E" into a buffer of at least 16.
const char* FormatLatitude(double latitude, char* out);
const char* FormatLongitude(double longitude, char* out);
// Appends "*HH\r\n" over the characters after the leading "$"; returns the characters appended.
int AppendChecksum(char* text, size_t size);

int MakeGPRMC(const FixRecord* fix, char* out, size_t size);
int MakeGPVTG(const FixRecord* fix, char* out, size_t size);
int MakeGPGGA(const FixRecord* fix, char* out, size_t size);
int MakeGPGSA(const FixRecord* fix, char* out, size_t size);
int MakePGRMT(const FixRecord* fix, char* out, size_t size);
// Page 0 to 2 of the satellites in view; an empty text when the page is not needed.
int MakeGPGSV(int page, const FixRecord* fix, char* out, size_t size);
// RMC, VTG, GGA, GSA, PGRMT and GSV pages 0 to 2, one after another; returns the length.
int MakeNmeaBatch(const FixRecord* fix, char* out, size_t size);
