// The measured-latency mode (profile value AutoLag): a receiver reports each fix some time after
// its epoch, and a fixed LagAdvance over- or undershoots that. At every burst a clock that no
// receiver sets is compared with the driver's clock (which the GPS clock check puts on the fix
// time); the smoothed difference is what a read adds to the fix's age while moving.
#include "port_driver/driver_state.h"
#include "clock_feed.h"
#include "fix_history_lock.h"
#include "settings_store/settings.h"
#include "support/log.h"

int MeasureReceiverLatency(int port, const SYSTEMTIME* fixTime, const SYSTEMTIME* reference, LONG logClockAheadMs) {
  if (!g_Profile.AutoLag) return 0;
  HistoryGuard guard;
  MeasuredLag& lag = g_History.Lag;
  if (lag.port != port) {  // another receiver: another latency
    lag.samples = 0;
    lag.port = port;
  }
  if (!reference) {
    if (!lag.unmeasurable)
      LogPrintf(LOG_CRLF, "AutoLag: no clock independent of the receiver, using LagAdvance %u ms", g_Profile.LagAdvance);
    lag.unmeasurable = 1;
    return 0;
  }
  LONG latency = TimeDifference(fixTime, reference);
  if (latency < 0 || latency > kMaxMeasuredLagMs) {
    LogPrintf(LOG_CRLF, "AutoLag: receiver latency %d ms not believed, sample dropped", latency);
    return 0;
  }
  lag.unmeasurable = 0;
  ClockFeedLatency(port, latency);
  LONG advance = latency - logClockAheadMs;
  if (advance < 0) advance = 0;
  if (lag.samples == 0) {
    lag.advanceMs = advance;
    LogPrintf(LOG_CRLF, "AutoLag: receiver on port %d reports %d ms late", port, latency);
  } else {
    lag.advanceMs += (advance - lag.advanceMs) / kLagSmoothing;
  }
  if (lag.samples < kLagSamplesUsed) ++lag.samples;
  LogPrintf(LOG_CRLF | LOG_VERBOSE, "AutoLag: latency %d ms, advance %d ms", latency, lag.advanceMs);
  return 1;
}

LONG LagAdvanceMs() {
  const MeasuredLag& lag = g_History.Lag;
  if (g_Profile.AutoLag && lag.samples >= kLagSamplesUsed) return lag.advanceMs;
  return static_cast<LONG>(SourceProfile().LagAdvance);
}
