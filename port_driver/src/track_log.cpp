// GPX and CSV track logs. Each file has its own lock, since the Out files are written by every
// application thread that reads a channel. A wake adds to the tracks of earlier wakes (a new GPX
// segment, more CSV lines), and the GPX file is a whole document after every point: its closing
// tags are written after each point and written over by the next, so a crash or a power loss
// leaves a file every GPX reader takes.
#include <cmath>
#include <cstdio>
#include <cstring>
#include "platform/platform.h"
#include "track_log.h"
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

const char kGpxTail[] = "    </trkseg>\r\n  </trk>\r\n\r\n</gpx>\r\n";
const long kGpxTailLength = static_cast<long>(sizeof kGpxTail - 1);

FILE* Open(TrackFile& f, const char* mode) {
  WCHAR path[MAX_PATH];
  f.stream = OpenDataFileMode(path, f.name, mode);
  return f.stream;
}

// Writes the closing tags and goes back before them, for the next point to write over.
void WriteGpxTail(FILE* s) {
  fputs(kGpxTail, s);
  fflush(s);
  fseek(s, -kGpxTailLength, SEEK_CUR);
}

// An earlier wake's track: true, positioned to add a segment before its closing tags.
bool ContinueGpx(FILE* s) {
  if (fseek(s, 0, SEEK_END) != 0) return false;
  long size = ftell(s);
  if (size < kGpxTailLength) return false;
  char tail[sizeof kGpxTail] = {};
  fseek(s, size - kGpxTailLength, SEEK_SET);
  if (fread(tail, 1, static_cast<size_t>(kGpxTailLength), s) != static_cast<size_t>(kGpxTailLength) ||
      memcmp(tail, kGpxTail, static_cast<size_t>(kGpxTailLength)) != 0)
    return false;
  fseek(s, size - kGpxTailLength, SEEK_SET);
  fputs("    </trkseg>\r\n    <trkseg>\r\n", s);
  return true;
}

// A point every reader takes: finite, on the globe.
bool Plottable(const FixRecord* fix) {
  return std::isfinite(fix->Latitude) && std::isfinite(fix->Longitude) && std::fabs(fix->Latitude) <= 90 &&
         std::fabs(fix->Longitude) <= 180 && std::isfinite(fix->AltitudeSeaLevel) && std::isfinite(fix->Heading) &&
         std::isfinite(fix->Speed) && std::isfinite(fix->MagHeading) && std::isfinite(fix->MagVariation);
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

void CloseFile(TrackFile& f) {
  FileGuard guard(f);
  if (!f.stream) return;
  fclose(f.stream);  // a GPX file's closing tags are in it already
  f.stream = nullptr;
}

}  // namespace

int WriteTrackCsv(const FixRecord* fix, int direction) {
  TrackFile& f = g_tracks.csv[Clamp(direction)];
  FileGuard guard(f);
  if (!f.stream) {
    if (!Open(f, "ab")) return 0;
    if (ftell(f.stream) == 0)  // a new file; an earlier wake's gets more lines
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
  if (!Plottable(fix)) return;
  WriteTrackCsv(fix, direction);
  if (fix->Latitude == 0.0 && fix->Longitude == 0.0) return;
  TrackFile& f = g_tracks.gpx[direction];
  FileGuard guard(f);
  if (!f.stream) {
    if (Open(f, "r+b")) {
      // An earlier track: a new segment; one cut short (written before its tags were) goes on.
      if (!ContinueGpx(f.stream)) fseek(f.stream, 0, SEEK_END);
    } else {
      if (!Open(f, "w+b")) return;
      WriteGpxStart(f.stream, direction);
    }
  }
  const SYSTEMTIME& t = fix->UtcTime;
  fprintf(f.stream,
          "      <trkpt lat=\"%.6f\" lon=\"%.6f\">\r\n        <ele>%.1f</ele>\r\n"
          "        <time>%.4d-%.2d-%.2dT%.2d:%.2d:%.2dZ</time>\r\n      </trkpt>\r\n",
          fix->Latitude, fix->Longitude, fix->AltitudeSeaLevel, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
          t.wSecond);
  WriteGpxTail(f.stream);
}

void CloseTrackLogs() {
  for (int d = 0; d < 2; ++d) {
    CloseFile(g_tracks.gpx[d]);
    CloseFile(g_tracks.csv[d]);
  }
}
