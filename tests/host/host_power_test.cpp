// Suspend and resume: systemd-logind's PrepareForSleep on the system bus reaches the driver in
// frxd as PowerDown and PowerUp. The bus is a private one started by the test, where the test
// owns logind's name.
#include <systemd/sd-bus.h>
#include "host_fixture.h"

namespace {

class HostPowerTest : public HostTest {
 protected:
  std::string HostLog() { return ReadWholeFile(root_ + "/Quorvale/Frxd.txt"); }
  std::string DriverLog() { return ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt"); }
};

}  // namespace

TEST_F(HostPowerTest, SuspendAndResumeReachTheDriver) {
  std::string address = StartPrivateBus();
  setenv("FERROX_SYSTEM_BUS", address.c_str(), 1);
  StartHost();
  unsetenv("FERROX_SYSTEM_BUS");
  int tcp = Connect();
  ASSERT_NE(Receive(tcp, 10000).find("$GPRMC"), std::string::npos);
  ASSERT_TRUE(PrepareForSleep(address, true));
  EXPECT_TRUE(WaitFor([&] { return HostLog().find("System going to sleep: PowerDown") != std::string::npos; }));
  EXPECT_TRUE(WaitFor([&] { return DriverLog().find("FerroxDriver Sleeping...") != std::string::npos; }, 20));
  ASSERT_TRUE(PrepareForSleep(address, false));
  EXPECT_TRUE(WaitFor([&] { return HostLog().find("System resumed: PowerUp") != std::string::npos; }));
  // Awake again: fixes reach the program that kept its connection.
  std::string after;
  EXPECT_TRUE(WaitFor([&] {
    after += Receive(tcp, 500);
    size_t resumed = after.rfind("$GPRMC");
    return resumed != std::string::npos && after.find(",A,", resumed) != std::string::npos;
  }, 20));
  close(tcp);
}

TEST_F(HostPowerTest, WithoutASystemBusTheHostSaysSoOnceAndRuns) {
  setenv("FERROX_SYSTEM_BUS", ("unix:path=" + root_ + "/nobus").c_str(), 1);
  StartHost();
  unsetenv("FERROX_SYSTEM_BUS");
  int tcp = Connect();
  EXPECT_NE(Receive(tcp, 10000).find("$GPRMC"), std::string::npos);
  close(tcp);
  EXPECT_TRUE(WaitFor([&] {
    return HostLog().find("No system bus: suspend and resume are not passed to the drivers") != std::string::npos;
  }));
}
