// Serial ports of the platform on pseudo-terminals: waits for events, their aborts and deadlines;
// devices mapped to COM ports appearing.
#include <pty.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <chrono>
#include <fstream>
#include <future>
#include "test_root.h"

namespace {

class SerialTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ASSERT_EQ(openpty(&master_, &slave_, name_, nullptr, nullptr), 0);
    SetString(u"Software\\Quorvale\\SerialPorts\\COM5:", u"Device", Utf8ToWide(name_).c_str());
    port_ = CreateFileW(u"COM5:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  }
  void TearDown() override {
    CloseHandle(port_);
    close(master_);
    close(slave_);
    TempRootTest::TearDown();
  }
  int master_ = -1, slave_ = -1;
  char name_[256] = {};
  HANDLE port_ = nullptr;
};

}  // namespace

TEST_F(SerialTest, AnAbortBeforeTheWaitEndsItAndIsNotLost) {
  // Another thread ends the reader's wait just before the reader starts it.
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
  auto wait = std::async(std::launch::async, [&] {
    DWORD events = 1;
    BOOL ok = WaitCommEvent(port_, &events, nullptr);
    return ok && events == 0;
  });
  bool ended = wait.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  if (!ended) (void)!write(master_, "$", 1);  // release the wait before failing
  EXPECT_TRUE(ended) << "the abort was lost";
  EXPECT_TRUE(wait.get());
  // Seen once: the next wait waits for data again.
  auto next = std::async(std::launch::async, [&] {
    DWORD events = 0;
    return WaitCommEvent(port_, &events, nullptr) && events == EV_RXCHAR;
  });
  EXPECT_EQ(next.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  ASSERT_EQ(write(master_, "$GP", 3), 3);
  EXPECT_TRUE(next.get());
}

TEST_F(SerialTest, AWaitWithADeadlineEndsOnASilentPort) {
  PlatformSetTimeScale(10);
  DWORD events = 1;
  DWORD start = GetTickCount();
  EXPECT_FALSE(PlatformWaitCommEventFor(port_, &events, 3000));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 2900u);
  EXPECT_LT(waited, 20000u);
  ASSERT_EQ(write(master_, "$GP", 3), 3);
  EXPECT_TRUE(PlatformWaitCommEventFor(port_, &events, 3000));
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  PlatformSetTimeScale(1);
}

// A receiver plugged in while the driver waits: a mapped device made (however quickly it was
// replaced) wakes the wait; its attributes changing while it stays as readable as it was do not,
// so a device the driver cannot open is not announced again and again.
TEST_F(TempRootTest, AMappedDeviceMadeWakesTheWaitAndItsAttributesAloneDoNot) {
  const std::string device = root_ + "/ttyGPS";
  SetString(u"Software\\Quorvale\\SerialPorts\\COM6:", u"Device", Utf8ToWide(device.c_str()).c_str());
  HANDLE arrival = PlatformSerialArrivalEvent();
  ASSERT_NE(arrival, nullptr);
  WaitForSingleObject(arrival, 0);
  { std::ofstream(device) << ""; }
  ASSERT_EQ(WaitForSingleObject(arrival, 3000), WAIT_OBJECT_0) << "a new device was not announced";
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(chmod(device.c_str(), i % 2 ? 0600 : 0640), 0);
    ASSERT_EQ(utimes(device.c_str(), nullptr), 0);
  }
  EXPECT_EQ(WaitForSingleObject(arrival, 1500), static_cast<DWORD>(WAIT_TIMEOUT)) << "attributes alone announced it";
  ASSERT_EQ(unlink(device.c_str()), 0);
  { std::ofstream(device) << ""; }  // unplugged and plugged in again between two looks
  EXPECT_EQ(WaitForSingleObject(arrival, 3000), WAIT_OBJECT_0) << "a device made anew was not announced";
}
