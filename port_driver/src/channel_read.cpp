// The channel read path: a batch of sentences (or one raw record) per fix, paced to the reader's
// cycle, handed out in as many reads as the program makes.
#include <cstring>
#include "channel_internal.h"
#include "driver_internal.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "track_log.h"
#include "support/log.h"
#include "support/nmea_writer.h"

namespace {

void Pace(Channel& c) {
  c.lastBatchTick = GetTickCount();
  LONG interval = static_cast<LONG>(ReadPeriodMs());
  c.interval = g_System.EnableSmooth ? interval / 2 : interval;
}

LONG Delay(const Channel& c) { return c.interval - static_cast<LONG>(GetTickCount() - c.lastBatchTick); }

void LogRawRecord(const FixRecord* fix) {
  if (LogEnable() == 0) return;
  char text[kNmeaBatchSize];
  int n = MakeNmeaBatch(fix, text, sizeof text);
  LogPrintf(LOG_VERBOSE, "%s Data Return: %u (%u) [%s]\r\n", "GPS", n, n, text);
}

// The driver's clock may be set back to the GPS time, and a record carried from the receiver keeps
// its own older time. A program never sees the time of its fixes run backwards: a fix older than
// the last one sent is replaced by that one again (its time and position belong together). A
// batch without a fix is not ordered: before the first fix its time is the system clock's, which
// may be up to a minute off the GPS time, and holding the first fix back by that would be worse.
void KeepFixTimeForward(Channel& c, FixRecord* out) {
  FILETIME ft;
  if (out->FixQuality == 0 || out->FixType == 0 || !SystemTimeToFileTime(&out->UtcTime, &ft)) return;
  ULONGLONG t = FileTimeToU64(ft);
  if (t < c.lastFixTime) {
    *out = c.lastFix;
    return;
  }
  c.lastFixTime = t;
  c.lastFix = *out;
}

// Until a receiver's fix has first set the driver's clock, the clock is the system's, which runs
// ahead of the GPS time by the receiver's latency or more: a batch stamped by it before the first
// fix would be later than that fix. So a batch that is not a receiver's fix has empty time fields
// then, as a receiver's own before it knows the time. (Once set, the clock stays near the GPS
// time while a receiver is away: estimates then carry their time, which readers need.)
void DropUnsetTime(FixRecord* out) {
  bool receiverFix = out->FixQuality != 0 && out->FixType != 0 && (out->SourceKind & SOURCE_RECEIVER_MASK) != 0;
  if (receiverFix || g_ClockSetByReceiver.load()) return;
  out->ValidFields &= ~(FIX_TIME | FIX_DATE);
  memset(&out->UtcTime, 0xFF, sizeof out->UtcTime);  // a time no day has: printed as empty fields
}

}  // namespace

// Fills the channel's buffer with a new batch; returns its length.
LONG GenerateBatch(Channel& c, bool raw) {
  FixRecord out{};
  BuildOutputFix(&out);
  KeepFixTimeForward(c, &out);
  if (out.ValidFields & FIX_COMPASS_IN_USE) {
    float floor = static_cast<float>(g_System.CompassSpeed * 0.1);
    if (out.Speed <= floor) {
      out.Speed = floor;
      out.ValidFields |= FIX_SPEED;
    }
  }
  // The track log keeps the driver's own stamp; the program gets the batch as sent.
  if (g_System.EnableTrack != 0) WriteTrackPoint(&out, TRACK_OUT);
  DropUnsetTime(&out);
  LONG length;
  if (raw) {
    out.Version = 1;
    out.Size = kRawReadSize;
    memcpy(c.buffer, &out, sizeof out);
    length = static_cast<LONG>(kRawReadSize);
  } else {
    c.buffer[0] = 0;
    length = MakeNmeaBatch(&out, c.buffer, kChannelBufferSize);
  }
  return length;
}

void PaceChannel(Channel& c) { Pace(c); }
LONG ChannelDelay(const Channel& c) { return Delay(c); }

DWORD ChannelRead(int index, BYTE* dest, DWORD count) {
  Channel& c = g_Channels[index];
  if (!(AtomicRead(&c.flags) & CHANNEL_OPEN)) {
    ChannelLine(index, "DoNewString - flagged as closed");
    return 0;
  }
  if (c.remaining > 0) {
    if (count == kRawReadSize && c.remaining != static_cast<LONG>(kRawReadSize)) {
      LogPrintf(LOG_TAB | LOG_CRLF, "Channel: %d, ReSize read to Data Type", index + 1);
      c.remaining = GenerateBatch(c, true);
      c.readOffset = 0;
    }
  } else {
    c.buffer[0] = 0;
    c.remaining = 0;
    c.readOffset = 0;
    LONG delay = Delay(c);
    LogPrintf(LOG_TAB | LOG_CRLF, "Channel: %d, DoNewString - Reading Gps Data Delay %d", index + 1, delay);
    // Paced: the wait ends early for a new fix, and a fix announced since the last batch (even
    // before the event is reset here) ends it at once.
    if (delay > 0 && AtomicRead(&g_FixSequence) == c.batchSequence) {
      ResetEvent(c.event);
      if (AtomicRead(&g_FixSequence) == c.batchSequence && (AtomicRead(&c.flags) & CHANNEL_OPEN))
        WaitForSingleObject(c.event, static_cast<DWORD>(delay));
    }
    if (!(AtomicRead(&c.flags) & CHANNEL_OPEN)) return 0;  // closed while waiting
    c.batchSequence = AtomicRead(&g_FixSequence);
    c.remaining = GenerateBatch(c, count == kRawReadSize);
    Pace(c);
  }
  DWORD n = c.remaining < 0 ? 0 : (static_cast<DWORD>(c.remaining) < count ? static_cast<DWORD>(c.remaining) : count);
  if (n == 0) {
    LogPrintf(LOG_TAB, "Returning Bytes=%u, OutSize=%d\r\n", 0u, c.remaining);
    return 0;
  }
  memcpy(dest, c.buffer + c.readOffset, n);
  bool raw = count == kRawReadSize && c.readOffset == 0 && n == kRawReadSize;
  if (raw) {
    LogRawRecord(reinterpret_cast<const FixRecord*>(c.buffer));
  } else if (count > 10) {
    LogPrintf(LOG_TAB, "Channel: %d, BufRead max=%u, Got=%u\r\n", index + 1, count, n);
    LogPrintf(LOG_TAB | LOG_VERBOSE, "[%.*s]\r\n", static_cast<int>(n), c.buffer + c.readOffset);
  } else {
    if (c.readOffset == 0) {
      LogPrintf(LOG_TAB, "Channel: %d, BufRead max=%u, Got=%u\r\n", index + 1, count, c.remaining);
      LogPrintf(LOG_TAB | LOG_VERBOSE, "[%s]\r\n", c.buffer);
    }
    if (count < 10 && static_cast<LONG>(n) == c.remaining)
      LogPrintf(LOG_TAB, "Channel: %d, BufRead max=%u, Got=%u\r\n", index + 1, count, 1u);
  }
  c.readOffset += n;
  c.remaining -= static_cast<LONG>(n);
  return n;
}
