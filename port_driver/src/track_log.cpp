// GPX and CSV track logs. Each file has its own lock, since the Out files are written by every
// application thread that reads a channel. A wake adds to the tracks of earlier wakes (a new GPX
// segment, more CSV lines), and the GPX file is a whole document after every point: its closing
// tags are written after each point and written over by the next, so a crash or a power loss
// leaves a file every GPX reader takes. Every write first reserves its space on the disk, so a full
// disk (or a file size limit) skips a point or a line and never leaves a cut one; a GPX file found
// damaged at open (by an older version, or a copy cut short) is cut back to its last whole point.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include "platform/platform.h"
#include "support/log.h"
#include "track_log.h"
#include "support/clock.h"
#include "support/data_file.h"

namespace {

struct TrackFile {
  const char* name;
  FILE* stream;
  CRITICAL_SECTION lock;
  bool noRoom;  // the last write found no room (said once until a write succeeds again)
};

struct TrackFiles {
  TrackFile gpx[2] = {{"FrxDriverIn.gpx", nullptr, {}, false}, {"FrxDriverOut.gpx", nullptr, {}, false}};
  TrackFile csv[2] = {{"FrxDriverIn.csv", nullptr, {}, false}, {"FrxDriverOut.csv", nullptr, {}, false}};
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

// Whether `length` more bytes at `at` fit: the file size limit, and the disk (the space is reserved
// beyond the end without changing the size, so an appending stream still writes at its end).
int Reserve(int fd, long at, size_t length) {
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(at) + length > limit.rlim_cur)
    return EFBIG;
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, at, static_cast<off_t>(length)) == 0) return 0;
  return errno == EOPNOTSUPP ? 0 : errno;  // a file system that cannot reserve: written as it comes
}

// Writes `text` at the stream's position as one piece: a file without room for all of it is left
// as it was (said once until a write succeeds again). `tail` is what stood at that position and is
// put back should a write fail halfway.
bool WriteWhole(TrackFile& f, const std::string& text, const char* tail = nullptr) {
  FILE* s = f.stream;
  if (fflush(s) != 0) clearerr(s);
  long at = ftell(s);
  int err = at < 0 ? errno : Reserve(fileno(s), at, text.size());
  const bool wrote = err == 0;
  if (wrote && fwrite(text.data(), 1, text.size(), s) == text.size() && fflush(s) == 0) {
    f.noRoom = false;
    return true;
  }
  if (wrote) err = errno;
  if (!f.noRoom) LogPrintf(LOG_CRLF | LOG_FLUSH, "Track log %s: no room to write (%s): skipped", f.name, strerror(err));
  f.noRoom = true;
  clearerr(s);
  // Only a write that began can have cut the file; a refused reservation left it whole.
  if (wrote && ftruncate(fileno(s), at) == 0 && tail) {
    ssize_t put = pwrite(fileno(s), tail, strlen(tail), at);
    (void)put;  // what does not fit now is repaired at the next open
  }
  fseek(s, at, SEEK_SET);
  return false;
}

// Writes `body` and the closing tags, and goes back before the tags for the next point.
// `closed`: the file ends with the closing tags already (put back should the write fail).
bool WriteGpxWithTail(TrackFile& f, std::string body, bool closed = true) {
  body += kGpxTail;
  if (!WriteWhole(f, body, closed ? kGpxTail : nullptr)) return false;
  fseek(f.stream, -kGpxTailLength, SEEK_CUR);
  return true;
}

// An earlier wake's track: true, positioned to add a segment before its closing tags.
bool ContinueGpx(TrackFile& f) {
  FILE* s = f.stream;
  if (fseek(s, 0, SEEK_END) != 0) return false;
  long size = ftell(s);
  if (size < kGpxTailLength) return false;
  char tail[sizeof kGpxTail] = {};
  fseek(s, size - kGpxTailLength, SEEK_SET);
  if (fread(tail, 1, static_cast<size_t>(kGpxTailLength), s) != static_cast<size_t>(kGpxTailLength) ||
      memcmp(tail, kGpxTail, static_cast<size_t>(kGpxTailLength)) != 0)
    return false;
  fseek(s, size - kGpxTailLength, SEEK_SET);
  return WriteGpxWithTail(f, "    </trkseg>\r\n    <trkseg>\r\n");
}

// A track without its closing tags: cut back after its last whole point (or its first segment's
// start) and closed again. False when it is no track of ours at all.
bool RepairGpx(TrackFile& f) {
  FILE* s = f.stream;
  std::string all;
  char chunk[65536];
  fseek(s, 0, SEEK_SET);
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, s)) > 0;) all.append(chunk, n);
  if (all.rfind("<?xml", 0) != 0) return false;
  size_t cut = all.rfind("      </trkpt>\r\n");
  if (cut != std::string::npos) cut += strlen("      </trkpt>\r\n");
  else if ((cut = all.find("    <trkseg>\r\n")) != std::string::npos) cut += strlen("    <trkseg>\r\n");
  else return false;
  if (fflush(s) != 0 || ftruncate(fileno(s), static_cast<off_t>(cut)) != 0) return false;
  fseek(s, static_cast<long>(cut), SEEK_SET);
  LogPrintf(LOG_CRLF, "Track log %s: a damaged end cut back to its last whole point (%u bytes dropped)", f.name,
            static_cast<DWORD>(all.size() - cut));
  return WriteGpxWithTail(f, "", false);
}

// A point every reader takes: finite, on the globe. (An unknown altitude is a point without one.)
bool Plottable(const FixRecord* fix) {
  return std::isfinite(fix->Latitude) && std::isfinite(fix->Longitude) && std::fabs(fix->Latitude) <= 90 &&
         std::fabs(fix->Longitude) <= 180 && std::isfinite(fix->Heading) &&
         std::isfinite(fix->Speed) && std::isfinite(fix->MagHeading) && std::isfinite(fix->MagVariation);
}

std::string GpxStart(int direction) {
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n";
  s += "<gpx xmlns=\"http://www.topografix.com/GPX/1/1\" creator=\"MapSource 6.15.6\" version=\"1.1\" "
       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
       "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\r\n\r\n";
  s += std::string("  <trk>\r\n    <name>FrxDriver_") + kDirection[direction] + "</name>\r\n";
  s += "    <extensions>\r\n"
       "      <gpxx:TrackExtension xmlns:gpxx=\"http://www.garmin.com/xmlschemas/GpxExtensions/v3\">\r\n"
       "        <gpxx:DisplayColor>Blue</gpxx:DisplayColor>\r\n      </gpxx:TrackExtension>\r\n"
       "    </extensions>\r\n    <trkseg>\r\n";
  return s;
}

// Opens the direction's GPX file positioned for the next point: an earlier wake's track gets a
// new segment, a damaged one is repaired, a new one (or one that is no track) starts whole.
bool OpenGpx(TrackFile& f, int direction) {
  if (Open(f, "r+b")) {
    if (ContinueGpx(f) || RepairGpx(f)) return true;
    fseek(f.stream, 0, SEEK_END);
    long size = ftell(f.stream);
    fclose(f.stream);
    f.stream = nullptr;
    if (size > 0) {  // something that is no track of ours: set aside, never deleted
      WCHAR path[MAX_PATH];
      if (FILE* probe = OpenDataFileMode(path, f.name, "rb")) fclose(probe);
      std::u16string aside = std::u16string(path) + u".damaged";
      MoveFileW(path, aside.c_str());
      LogPrintf(LOG_CRLF, "Track log %s is no track: kept as %s.damaged", f.name, f.name);
    }
  }
  if (!Open(f, "w+b")) return false;
  if (WriteGpxWithTail(f, GpxStart(direction), false)) return true;
  fclose(f.stream);  // an empty file: the next wake starts it again
  f.stream = nullptr;
  return false;
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
  std::string text;
  if (!f.stream) {
    if (!Open(f, "ab")) return 0;
    fseek(f.stream, 0, SEEK_END);
    if (ftell(f.stream) == 0)  // a new file; an earlier wake's gets more lines
      text = "\"SysTime\",\"GpsTime\",\"Heading\",\"Speed\",\"Lat\",\"Lon\",\"Compass\",\"MagVar\"\r\n";
  }
  SYSTEMTIME now;
  ClockNow(&now);
  char sys[16], gps[16], line[160];
  TimeField(&now, sys);
  TimeField(&fix->UtcTime, gps);
  snprintf(line, sizeof line, "%s,%s,%.1f,%.1f,%.6f,%.6f,%.1f,%.1f\r\n", sys, gps, fix->Heading, fix->Speed,
           fix->Latitude, fix->Longitude, fix->MagHeading, fix->MagVariation);
  text += line;
  // Whole rows, flushed: a crash loses at most the row being written.
  return WriteWhole(f, text) ? 1 : 0;
}

void WriteTrackPoint(const FixRecord* fix, int direction) {
  direction = Clamp(direction);
  if (!Plottable(fix)) return;
  WriteTrackCsv(fix, direction);
  if (fix->Latitude == 0.0 && fix->Longitude == 0.0) return;
  TrackFile& f = g_tracks.gpx[direction];
  FileGuard guard(f);
  if (!f.stream && !OpenGpx(f, direction)) return;
  const SYSTEMTIME& t = fix->UtcTime;
  char point[256], ele[48] = "";
  if (std::isfinite(fix->AltitudeSeaLevel))
    snprintf(ele, sizeof ele, "        <ele>%.1f</ele>\r\n", fix->AltitudeSeaLevel);
  snprintf(point, sizeof point,
           "      <trkpt lat=\"%.6f\" lon=\"%.6f\">\r\n%s"
           "        <time>%.4d-%.2d-%.2dT%.2d:%.2d:%.2dZ</time>\r\n      </trkpt>\r\n",
           fix->Latitude, fix->Longitude, ele, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  WriteGpxWithTail(f, point);
}

void CloseTrackLogs() {
  for (int d = 0; d < 2; ++d) {
    CloseFile(g_tracks.gpx[d]);
    CloseFile(g_tracks.csv[d]);
  }
}
