// The time daemon's samples as the daemon's socket receives them: the held latency, what gives
// no time, another receiver, and the system clock left alone while the feed is on.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include "clock_feed.h"
#include "fix_history_lock.h"
#include "fix_builder.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "support/clock.h"
#include "test_root.h"

namespace {

class ClockFeedTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ResetDriverSettings();
    g_Profile.AutoLag = 1;
    g_History.Lag.unmeasurable = 0;
    path_ = root_ + "/refclock.sock";
    daemon_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    ASSERT_EQ(bind(daemon_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    SetString(MAIN_KEY, u"ChronySocket", std::u16string(path_.begin(), path_.end()).c_str());
    ASSERT_EQ(LoadClockFeed(), 1);
  }
  void TearDown() override {
    SetString(MAIN_KEY, u"ChronySocket", u"");
    LoadClockFeed();
    close(daemon_);
    TempRootTest::TearDown();
  }
  // Whether a datagram is waiting at the daemon's socket.
  bool Received() {
    ClockSample s;
    return recv(daemon_, &s, sizeof s, 0) >= 0;
  }
  std::string path_;
  int daemon_ = -1;
};

// Microseconds since 1970 of a fix time.
int64_t Us(const SYSTEMTIME& t) {
  FILETIME ft;
  SystemTimeToFileTime(&t, &ft);
  return static_cast<int64_t>((FileTimeToU64(ft) - kFileTimeUnixEpoch) / 10);
}

}  // namespace

TEST_F(ClockFeedTest, SamplesCarryTheHeldMedianLatencyOnlyOnceMeasured) {
  SYSTEMTIME t = Utc(12, 0, 0);
  FixRecord fix = GoodFix(t, 48, 11, 0, 0);
  int64_t arrival = Us(t) + 310000;  // the burst is read 310 ms after its epoch
  // Still measuring: nothing is sent rather than an uncorrected time.
  for (int i = 0; i < kFeedLatencySamples - 1; ++i) ClockFeedLatency(4, i == 2 ? 4000 : 300 + i);
  EXPECT_EQ(FeedClockSample(&fix, 4, arrival), 0);
  EXPECT_FALSE(Received());
  ClockFeedLatency(4, 305);
  ClockFeedLatency(4, 900);  // once held, later samples (the daemon's own steering) change nothing
  EXPECT_EQ(ClockFeedCorrection(4), 305);  // the median: one wild sample does not move it
  ASSERT_EQ(FeedClockSample(&fix, 4, arrival), 1);
  ClockSample got{};
  ASSERT_EQ(recv(daemon_, &got, sizeof got + 8, 0), static_cast<ssize_t>(sizeof got));
  EXPECT_EQ(got.magic, 0x534f434b);
  EXPECT_EQ(got.tvSec * 1000000 + got.tvUsec, arrival);
  EXPECT_NEAR(got.offset, -0.005, 1e-9);  // epoch + 305 ms latency, read at 310 ms
  EXPECT_EQ(got.pulse, 0);
  EXPECT_EQ(got.leap, 0);
  // No fix, or no time in it: no sample.
  FixRecord lost = fix;
  lost.FixQuality = 0;
  EXPECT_EQ(FeedClockSample(&lost, 4, arrival), 0);
  FixRecord untimed = fix;
  untimed.ValidFields &= ~FIX_TIME;
  EXPECT_EQ(FeedClockSample(&untimed, 4, arrival), 0);
  // Another receiver is measured anew.
  ClockFeedLatency(3, 100);
  EXPECT_EQ(ClockFeedCorrection(3), -1);
}

TEST_F(ClockFeedTest, WithoutAMeasuredLatencyTimesGoUncorrectedAndTheClockIsLeftAlone) {
  g_Profile.AutoLag = 0;
  SYSTEMTIME t = Utc(12, 0, 0);
  FixRecord fix = GoodFix(t, 48, 11, 0, 0);
  ASSERT_EQ(FeedClockSample(&fix, 4, Us(t) + 300000), 1);
  ClockSample got{};
  ASSERT_EQ(recv(daemon_, &got, sizeof got, 0), static_cast<ssize_t>(sizeof got));
  EXPECT_NEAR(got.offset, -0.3, 1e-9);
  // The driver's clock follows a receiver 2 h ahead; the system clock does not.
  int64_t before = PlatformClockOffsetMs();
  SYSTEMTIME ahead;
  GetSystemTime(&ahead);
  AddMilliseconds(&ahead, 7200000);
  SetClockFromGps(&ahead, GetTickCount(), nullptr);
  EXPECT_EQ(PlatformClockOffsetMs(), before);
  // A daemon that is not there: the sample is refused, and the feed says so.
  close(daemon_);
  unlink(path_.c_str());
  daemon_ = -1;
  EXPECT_EQ(FeedClockSample(&fix, 4, Us(t)), 0);
}
