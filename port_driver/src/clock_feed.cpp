// The time daemon's feed. The latency is measured over the first fixes of a receiver against a
// clock no receiver sets and then held: once the daemon steers the system clock by these
// samples, measuring on would measure the daemon's own correction.
#include "clock_feed.h"
#include "fix_history_lock.h"
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <mutex>
#include "platform/datagram.h"
#include "platform/platform.h"
#include "platform/registry_values.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "support/clock.h"
#include "support/log.h"

namespace {

std::mutex g_feedLock;
char g_path[108];  // the daemon's socket; "" off
int g_port = -1;   // the receiver the latencies belong to
LONG g_latencies[kFeedLatencySamples];
int g_measured = 0;
LONG g_held = -1;  // the median once measured
bool g_saidUncorrected = false, g_saidRefused = false;

// One line a person must see (the journal and the log).
__attribute__((format(printf, 1, 2))) void Say(const char* format, ...) {
  char line[320];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  LogEvent(line);
}

}  // namespace

int LoadClockFeed() {
  std::string path = PlatformReadText(MAIN_KEY, u"ChronySocket");
  std::lock_guard<std::mutex> guard(g_feedLock);
  const char* text = path.c_str();
  if (path.size() >= sizeof g_path) {
    Say("ChronySocket %s is too long for a socket path: no time samples", text);
    text = "";
  }
  if (strcmp(text, g_path) != 0 && text[0]) Say("ChronySocket: time samples to %s", text);
  strcpy(g_path, text);
  g_saidRefused = false;
  SetClockSetsSystemTime(g_path[0] == 0);
  return g_path[0] != 0;
}

void ClockFeedLatency(int port, LONG latencyMs) {
  std::lock_guard<std::mutex> guard(g_feedLock);
  if (port != g_port) {  // another receiver: another latency
    g_port = port;
    g_measured = 0;
    g_held = -1;
  }
  if (g_held >= 0 || !g_path[0]) return;
  g_latencies[g_measured++] = latencyMs;
  if (g_measured < kFeedLatencySamples) return;
  LONG sorted[kFeedLatencySamples];
  std::copy(g_latencies, g_latencies + kFeedLatencySamples, sorted);
  std::sort(sorted, sorted + kFeedLatencySamples);
  g_held = sorted[kFeedLatencySamples / 2];
  Say("ChronySocket: receiver on port %d reports %ld ms late, held for the time samples", port, static_cast<long>(g_held));
}

LONG ClockFeedCorrection(int port) {
  int unmeasurable;
  {
    HistoryGuard history;
    unmeasurable = g_History.Lag.unmeasurable;
  }
  std::lock_guard<std::mutex> guard(g_feedLock);
  if (port == g_port && g_held >= 0) return g_held;
  // Without AutoLag, or with no clock to measure against, the receiver's times go uncorrected.
  if (g_Profile.AutoLag && !unmeasurable) return -1;
  if (!g_saidUncorrected) {
    LogEvent("ChronySocket: the receiver's latency is not measured (AutoLag off or no clock kept by NTP), "
             "its times are sent uncorrected");
    g_saidUncorrected = true;
  }
  return 0;
}

int MakeClockSample(const FixRecord* fix, int64_t arrivalUs, LONG latencyMs, ClockSample* sample) {
  FILETIME ft;
  if (fix->FixQuality == 0 || fix->FixType == 0 || !(fix->ValidFields & FIX_TIME) ||
      !SystemTimeToFileTime(&fix->UtcTime, &ft))
    return 0;
  int64_t fixUs = static_cast<int64_t>((FileTimeToU64(ft) - kFileTimeUnixEpoch) / 10);
  memset(sample, 0, sizeof *sample);
  sample->tvSec = arrivalUs / 1000000;
  sample->tvUsec = arrivalUs % 1000000;
  sample->offset = static_cast<double>(fixUs + static_cast<int64_t>(latencyMs) * 1000 - arrivalUs) / 1e6;
  sample->magic = kClockSampleMagic;
  return 1;
}

int FeedClockSample(const FixRecord* fix, int port, int64_t arrivalUs) {
  char path[sizeof g_path];
  {
    std::lock_guard<std::mutex> guard(g_feedLock);
    strcpy(path, g_path);
  }
  if (!path[0]) return 0;
  LONG latency = ClockFeedCorrection(port);
  ClockSample sample;
  if (latency < 0 || !MakeClockSample(fix, arrivalUs, latency, &sample)) return 0;
  int sent = PlatformSendDatagram(path, &sample, sizeof sample);
  std::lock_guard<std::mutex> guard(g_feedLock);
  if (sent) {
    if (g_saidRefused) Say("ChronySocket: %s takes the time samples again", path);
    g_saidRefused = false;
  } else if (!g_saidRefused) {
    Say("ChronySocket: %s takes no time samples (is the time daemon running with a SOCK refclock there?)", path);
    g_saidRefused = true;
  }
  return sent;
}
