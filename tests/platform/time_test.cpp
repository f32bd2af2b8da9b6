// Tick count with scale and offset, sleeping, system time and file-time conversions.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include "test_root.h"

namespace {
SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) { return MakeTime(y, mo, d, h, mi, s, ms); }
}  // namespace

TEST(FileTimes, ConversionsAgreeWithTheCalendar) {
  SYSTEMTIME epoch = Make(1970, 1, 1, 0, 0, 0, 0);
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&epoch, &ft));
  EXPECT_EQ(FileTimeToU64(ft), kFileTimeUnixEpoch);

  // Leap day, end of century, and the far range all survive the round trip.
  for (SYSTEMTIME t : {Make(2000, 2, 29, 12, 0, 0, 1), Make(2026, 12, 6, 23, 45, 12, 120),
                       Make(1601, 1, 1, 0, 0, 0, 0), Make(2100, 12, 31, 23, 59, 59, 999)}) {
    ASSERT_TRUE(SystemTimeToFileTime(&t, &ft));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, t.wYear);
    EXPECT_EQ(back.wMonth, t.wMonth);
    EXPECT_EQ(back.wDay, t.wDay);
    EXPECT_EQ(back.wHour, t.wHour);
    EXPECT_EQ(back.wMinute, t.wMinute);
    EXPECT_EQ(back.wSecond, t.wSecond);
    EXPECT_EQ(back.wMilliseconds, t.wMilliseconds);
  }
  SYSTEMTIME sunday = Make(2026, 12, 6, 0, 0, 0, 0), out{};
  SystemTimeToFileTime(&sunday, &ft);
  FileTimeToSystemTime(&ft, &out);
  EXPECT_EQ(out.wDayOfWeek, 0);
  SYSTEMTIME tuesday = Make(2000, 2, 29, 0, 0, 0, 0);
  SystemTimeToFileTime(&tuesday, &ft);
  FileTimeToSystemTime(&ft, &out);
  EXPECT_EQ(out.wDayOfWeek, 2);
}

TEST(FileTimes, InvalidFieldsAreRefused) {
  FILETIME ft;
  for (SYSTEMTIME t : {Make(2023, 2, 29, 0, 0, 0, 0), Make(2026, 13, 1, 0, 0, 0, 0), Make(2026, 1, 0, 0, 0, 0, 0),
                       Make(2026, 1, 1, 24, 0, 0, 0), Make(2026, 1, 1, 0, 0, 0, 1000), Make(1600, 1, 1, 0, 0, 0, 0)}) {
    EXPECT_FALSE(SystemTimeToFileTime(&t, &ft));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST(FileTimes, LocalTimeFollowsTheProcessTimeZone) {
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "XST-02:30", 1);
  tzset();
  SYSTEMTIME t = Make(2026, 12, 6, 22, 0, 0, 0), local{};
  FILETIME ft, lft;
  SystemTimeToFileTime(&t, &ft);
  ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &lft));
  FileTimeToSystemTime(&lft, &local);
  EXPECT_EQ(local.wDay, 7);
  EXPECT_EQ(local.wHour, 0);
  EXPECT_EQ(local.wMinute, 30);
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  FILETIME a{1, 0}, b{2, 0}, c{0, 1};
  EXPECT_EQ(CompareFileTime(&a, &b), -1);
  EXPECT_EQ(CompareFileTime(&b, &a), 1);
  EXPECT_EQ(CompareFileTime(&c, &b), 1);
  EXPECT_EQ(CompareFileTime(&a, &a), 0);
}

TEST(Ticks, DifferencesStayRightAcrossTheWrap) {
  DWORD now = GetTickCount();
  PlatformSetTickOffset(static_cast<int64_t>(0xFFFFFFFFu - 50u) - static_cast<int64_t>(now));
  DWORD before = GetTickCount();
  EXPECT_GT(before, 0xFFFFFF00u);
  Sleep(120);
  DWORD after = GetTickCount();
  EXPECT_LT(after, before);  // wrapped
  DWORD elapsed = after - before;
  EXPECT_GE(elapsed, 100u);
  EXPECT_LT(elapsed, 10000u);
  PlatformSetTickOffset(0);
}

TEST(Ticks, TheTimeScaleRunsTicksWaitsAndTheClockFaster) {
  PlatformSetTimeScale(1000);
  auto realStart = std::chrono::steady_clock::now();
  DWORD t0 = GetTickCount();
  SYSTEMTIME s0, s1;
  GetSystemTime(&s0);
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 30000), WAIT_TIMEOUT);  // 30 s at scale 1000: about 30 ms
  Sleep(20000);
  DWORD elapsed = GetTickCount() - t0;
  GetSystemTime(&s1);
  auto real = std::chrono::steady_clock::now() - realStart;
  PlatformSetTimeScale(1);
  CloseHandle(e);
  EXPECT_GE(elapsed, 50000u);
  EXPECT_LT(real, std::chrono::seconds(10));
  FILETIME f0, f1;
  SystemTimeToFileTime(&s0, &f0);
  SystemTimeToFileTime(&s1, &f1);
  EXPECT_GE((FileTimeToU64(f1) - FileTimeToU64(f0)) / 10000, 49000u);
}

TEST(SystemClock, SettingTheClockMovesThePlatformClock) {
  SYSTEMTIME target = Make(2031, 5, 4, 3, 2, 1, 0), now{};
  ASSERT_TRUE(SetSystemTime(&target));
  GetSystemTime(&now);
  EXPECT_EQ(now.wYear, 2031);
  EXPECT_EQ(now.wMonth, 5);
  EXPECT_EQ(now.wDay, 4);
  EXPECT_EQ(now.wHour, 3);
  PlatformResetClockOffset();
  GetSystemTime(&now);
  EXPECT_LT(now.wYear, 2031);
  SYSTEMTIME bad = Make(2031, 2, 30, 0, 0, 0, 0);
  EXPECT_FALSE(SetSystemTime(&bad));
}
