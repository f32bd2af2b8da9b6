// What the main window shows of a fix record: the source and orientation labels, the eight
// status lines and the text block, bounded whatever the record holds.
#pragma once
#include "support/fix_record.h"

enum StatusLineIndex {
  LINE_LATITUDE,
  LINE_LONGITUDE,
  LINE_SPEED,
  LINE_HEADING,
  LINE_COMPASS,
  LINE_ALTITUDE,
  LINE_PRECISION,
  LINE_FIX,
  kStatusLines
};
constexpr int kStatusLineSize = 64;
constexpr int kSourceLabelSize = 14;  // 13 bytes and the terminator
#define DRIVER_VERSION_TEXT "Driver Version 3.19"

// The decoded state of the last record.
struct StatusLines {
  char source[kSourceLabelSize];
  char lines[kStatusLines][kStatusLineSize];
  double compassReading;  // -1.0 when the record had no compass reading
  double gpsCourse;       // -1.0 when absent or taken from the compass
  int haveCourse;         // the record carried a GPS course beside the compass reading
  BYTE orientation;
};

void ClearStatusLines(StatusLines* status);
const char* SourceLabel(BYTE sourceKind, char out[kSourceLabelSize]);
const char* OrientationLabel(DWORD code);
const char* FixLabel(DWORD fixType);
// Decodes `record` (its Heading becomes the corrected compass heading while the compass is in
// use) and rewrites the lines; the compass line keeps its text when the record has no reading.
void DecodeStatusRecord(FixRecord* record, StatusLines* status);
// The text view's block: source, profile (when `profileName`), the non-empty lines.
int StatusTextBlock(const StatusLines& status, const char* profileName, char* out, int size);
