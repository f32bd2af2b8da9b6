// The stream entry points and the serial emulation of the virtual port, without a receiver.
#include <atomic>
#include <thread>
#include "driver_fixture.h"
#include "platform/serial_ioctl.h"

using DriverEntryTest = DriverTest;

TEST_F(DriverEntryTest, TenChannelsAndHandleReuse) {
  Load();
  EXPECT_EQ(COM_Open(1234, 0, 0), 0u);
  std::vector<DWORD> handles;
  for (int i = 0; i < 10; ++i) handles.push_back(COM_Open(kDeviceContext, GENERIC_READ, 0));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(handles[i], 5201u + i);
  EXPECT_EQ(COM_Open(kDeviceContext, 0, 0), 0u);
  EXPECT_EQ(COM_Close(5203), 0);
  EXPECT_EQ(COM_Close(5203), 0);  // invalid now: still 0
  EXPECT_EQ(COM_Close(9999), 0);
  EXPECT_EQ(COM_Open(kDeviceContext, 0, 0), 5203u);
  EXPECT_EQ(COM_Seek(5201, 5, 1), 0u);
  std::string log = Log();
  EXPECT_NE(log.find("False Open"), std::string::npos);
  EXPECT_NE(log.find("Open Too Many Ports"), std::string::npos);
  EXPECT_NE(log.find("Channel: 3, False Close"), std::string::npos);
  EXPECT_EQ(COM_Deinit(1), 0);
}

TEST_F(DriverEntryTest, CommandsAndPassThrough) {
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  EXPECT_EQ(COM_Write(h, "Reload", 7), kCommandAccepted);
  EXPECT_EQ(COM_Write(h, "Calib:", 6), kCommandAccepted);
  EXPECT_EQ(COM_Write(h, "Reload now", 10), 10u);  // no source: dropped, the count returned
  EXPECT_EQ(COM_Write(h, "reload", 6), 6u);
  EXPECT_EQ(COM_Write(5210, "x", 1), 0u);
}

TEST_F(DriverEntryTest, SerialControlsAnswerFromTheEmulatedSettings) {
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  DWORD got = 0;
  DCB dcb{};
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_GET_DCB), nullptr, 0, reinterpret_cast<BYTE*>(&dcb), sizeof dcb, &got));
  EXPECT_EQ(got, 28u);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.EvtChar, 10);
  COMMTIMEOUTS t{};
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_GET_TIMEOUTS), nullptr, 0, reinterpret_cast<BYTE*>(&t), sizeof t, &got));
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
  dcb.DCBlength = 27;
  SetLastError(0);
  EXPECT_FALSE(COM_IOControl(h, SerialCode(SERIAL_SET_DCB), reinterpret_cast<BYTE*>(&dcb), sizeof dcb, nullptr, 0, &got));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD events = 0;
  SetLastError(0);
  EXPECT_FALSE(COM_IOControl(h, SerialCode(SERIAL_WAIT_ON_MASK), nullptr, 0, reinterpret_cast<BYTE*>(&events), 4, &got));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD mask = EV_RXCHAR;
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_SET_WAIT_MASK), reinterpret_cast<BYTE*>(&mask), 4, nullptr, 0, &got));
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_WAIT_ON_MASK), nullptr, 0, reinterpret_cast<BYTE*>(&events), 4, &got));
  EXPECT_EQ(events, EV_RXCHAR);
  EXPECT_EQ(got, 4u);
  BYTE status[16];
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_GET_COMMSTATUS), nullptr, 0, status, sizeof status, &got));
  DWORD inQueue;
  memcpy(&inQueue, status + 8, 4);
  EXPECT_GT(inQueue, 100u);  // the batch the wait generated is pending
  COMMPROP prop{};
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_GET_PROPERTIES), nullptr, 0, reinterpret_cast<BYTE*>(&prop), sizeof prop, &got));
  EXPECT_EQ(prop.dwMaxBaud, 0x10000000u);
  EXPECT_EQ(prop.wSettableData, 0x7FFF);
  BYTE notify[16] = {16, 0, 0, 0, 4};
  EXPECT_TRUE(COM_IOControl(h, 0x010303FF, notify, 16, nullptr, 0, &got));
  EXPECT_FALSE(COM_IOControl(h, 0x2A0004, nullptr, 0, nullptr, 0, &got));
  EXPECT_FALSE(COM_IOControl(h, SerialCode(SERIAL_SET_BREAK_ON), nullptr, 0, nullptr, 0, &got));  // SetCommBreak
  EXPECT_TRUE(COM_IOControl(h, SerialCode(SERIAL_SET_XOFF), nullptr, 0, nullptr, 0, &got));   // Set OFF
  SetLastError(0);
  EXPECT_FALSE(COM_IOControl(h, SerialCode(SERIAL_GET_WAIT_MASK), nullptr, 0, reinterpret_cast<BYTE*>(&mask), 2, &got));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(COM_IOControl(9999, SerialCode(SERIAL_GET_WAIT_MASK), nullptr, 0, reinterpret_cast<BYTE*>(&mask), 4, &got));
}

TEST_F(DriverEntryTest, ReadsArePacedAndHandOutBatchesWhole) {
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  DWORD start = GetTickCount();
  std::string first = ReadBatch(h);
  EXPECT_LT(GetTickCount() - start, 300u);  // the first read does not wait
  int sentences = 0;
  EXPECT_TRUE(ChecksumsRight(first, &sentences)) << first;
  EXPECT_GE(sentences, 5);
  EXPECT_EQ(first.rfind("$GPRMC,", 0), 0u);
  start = GetTickCount();
  ReadBatch(h);
  EXPECT_GE(GetTickCount() - start, 1000u);  // no fix arrives: SleepTime + 200 ms
  // Byte by byte: the whole batch, then a new one only after the last byte.
  std::string bytes;
  char c;
  while (COM_Read(h, &c, 1) == 1) {
    bytes += c;
    if (bytes.size() > 5 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0 &&
        bytes.find("$PGRMT") != std::string::npos && bytes.rfind("$PGRMT") < bytes.rfind("\r\n$") + 3)
      break;
    if (bytes.size() > 2000) break;
  }
  EXPECT_TRUE(ChecksumsRight(bytes)) << bytes;
  // A raw read: one record.
  FixRecord raw{};
  EXPECT_EQ(COM_Read(h, &raw, sizeof raw), 344u);
  EXPECT_EQ(raw.Version, 1u);
  EXPECT_EQ(raw.Size, 344u);
  EXPECT_EQ(raw.SourceKind, SOURCE_LAST_KNOWN);
}

TEST_F(DriverEntryTest, PowerCallsWithoutChannelsDoNothing) {
  Load();
  COM_PowerDown(kDeviceContext);
  COM_PowerUp(kDeviceContext);
  EXPECT_EQ(WaitForSingleObject(g_Driver.WakeEvent, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(g_Driver.SleepRequestEvent, 0), WAIT_TIMEOUT);
}

TEST_F(DriverEntryTest, AMaskChangeEndsAWaitForEvents) {
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  DWORD got = 0, events = 0, mask = EV_RXCHAR;
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = 600000;  // a minute of real time at the test's scale
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_SET_TIMEOUTS), reinterpret_cast<BYTE*>(&t), sizeof t, nullptr, 0, &got));
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_SET_WAIT_MASK), reinterpret_cast<BYTE*>(&mask), 4, nullptr, 0, &got));
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    DWORD n = 0;
    COM_IOControl(h, SerialCode(SERIAL_WAIT_ON_MASK), nullptr, 0, reinterpret_cast<BYTE*>(&events), 4, &n);
    done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return Log().find("WaitCommMask - Reading Gps Data Delay 600000") != std::string::npos; }));
  ASSERT_TRUE(COM_IOControl(h, SerialCode(SERIAL_SET_WAIT_MASK), reinterpret_cast<BYTE*>(&mask), 4, nullptr, 0, &got));
  EXPECT_TRUE(WaitFor([&] { return done.load(); }, 2));
  if (!done) COM_Close(h);  // ends the wait for good
  waiter.join();
}

TEST_F(DriverEntryTest, ClosingAChannelWaitsForTheCallsInsideIt) {
  // A read blocked in the channel while another thread closes it: the read must leave before the
  // channel's buffer is freed (the sanitizer builds see a write into a freed buffer otherwise).
  Load();
  for (int round = 0; round < 20; ++round) {
    DWORD h = COM_Open(kDeviceContext, 0, 0);
    std::atomic<bool> done{false};
    std::thread reader([&] {
      char buf[2048];
      while (COM_Read(h, buf, sizeof buf) > 0) {
      }
      done = true;
    });
    usleep(static_cast<useconds_t>(round % 4) * 5000);  // closes before, while and after it blocks
    COM_Close(h);
    EXPECT_TRUE(WaitFor([&] { return done.load(); }, 5)) << round;
    reader.join();
  }
}
