// GPX and CSV track logs. Each file has its own lock, since the Out files are written by every
// application thread that reads a channel.
#include <cstdio>
#include "platform/platform.h"
#include "port_driver/track_log.h"
#include "support/clock.h"
#include "support/data_file.h"

namespace {

struct TrackFile {
  const char* name;
  FILE* stream;
  CRITICAL_SECTION lock;
};

struct TrackFiles {
  TrackFile gpx[2] = {{"FrxDriverIn.gpx", nullptr, {}}, {"FrxDriverOut.gpx", nullptr, {}}};
  TrackFile csv[2] = {{"FrxDriverIn.csv", nullptr, {}}, {"FrxDriverOut.csv", nullptr, {}}};
  TrackFiles() {
    for (int d = 0; d < 2; ++d) {
      InitializeCriticalSection(&gpx[d].lock);
      InitializeCriticalSection(&csv[d].lock);
    }
  }
} g_tracks;

const char* const kDirection[2] = {"In", "Out"};

struct FileGuard {
  TrackFile& f;
  explicit FileGuard(TrackFile& file) : f(file) { EnterCriticalSection(&f.lock); }
  ~FileGuard() { LeaveCriticalSection(&f.lock); }
};

int Clamp(int direction) { return direction > 1 ? 1 : (direction < 0 ? 0 : direction); }

FILE* Open(TrackFile& f) {
  WCHAR path[MAX_PATH];
  f.stream = OpenDataFile(path, f.name, FALSE);
  return f.stream;
}

void WriteGpxStart(FILE* s, int direction) {
  fputs("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n", s);
  fputs("<gpx xmlns=\"http://www.topografix.com/GPX/1/1\" creator=\"MapSource 6.15.6\" version=\"1.1\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\r\n\r\n",
        s);
  fprintf(s, "  <trk>\r\n    <name>%s_%s</name>\r\n", "FrxDriver", kDirection[direction]);
  fputs("    <extensions>\r\n"
        "      <gpxx:TrackExtension xmlns:gpxx=\"http://www.garmin.com/xmlschemas/GpxExtensions/v3\">\r\n"
        "        <gpxx:DisplayColor>Blue</gpxx:DisplayColor>\r\n      </gpxx:TrackExtension>\r\n"
        "    </extensions>\r\n    <trkseg>\r\n",
        s);
}

void CloseFile(TrackFile& f, bool gpx) {
  FileGuard guard(f);
  if (!f.stream) return;
  if (gpx) fputs("    </trkseg>\r\n  </trk>\r\n\r\n</gpx>\r\n", f.stream);
  fclose(f.stream);
  f.stream = nullptr;
}

}  // namespace

int WriteTrackCsv(const FixRecord* fix, int direction) {
  TrackFile& f = g_tracks.csv[Clamp(direction)];
  FileGuard guard(f);
  if (!f.stream) {
    if (!Open(f)) return 0;
    fputs("\"SysTime\",\"GpsTime\",\"Heading\",\"Speed\",\"Lat\",\"Lon\",\"Compass\",\"MagVar\"\r\n", f.stream);
  }
  SYSTEMTIME now;
  ClockNow(&now);
  char sys[16], gps[16];
  TimeField(&now, sys);
  TimeField(&fix->UtcTime, gps);
  fprintf(f.stream, "%s,%s,%.1f,%.1f,%.6f,%.6f,%.1f,%.1f\r\n", sys, gps, fix->Heading, fix->Speed, fix->Latitude,
          fix->Longitude, fix->MagHeading, fix->MagVariation);
  return 1;
}

void WriteTrackPoint(const FixRecord* fix, int direction) {
  direction = Clamp(direction);
  WriteTrackCsv(fix, direction);
  if (fix->Latitude == 0.0 && fix->Longitude == 0.0) return;
  TrackFile& f = g_tracks.gpx[direction];
  FileGuard guard(f);
  if (!f.stream) {
    if (!Open(f)) return;
    WriteGpxStart(f.stream, direction);
  }
  const SYSTEMTIME& t = fix->UtcTime;
  fprintf(f.stream,
          "      <trkpt lat=\"%.6f\" lon=\"%.6f\">\r\n        <ele>%.1f</ele>\r\n"
          "        <time>%.4d-%.2d-%.2dT%.2d:%.2d:%.2dZ</time>\r\n      </trkpt>\r\n",
          fix->Latitude, fix->Longitude, fix->AltitudeSeaLevel, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
          t.wSecond);
}

void CloseTrackLogs() {
  for (int d = 0; d < 2; ++d) {
    CloseFile(g_tracks.gpx[d], true);
    CloseFile(g_tracks.csv[d], false);
  }
}
