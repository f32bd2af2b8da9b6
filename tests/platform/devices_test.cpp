// Stream devices of this process, the services manager's calls and modules.
#include <atomic>
#include "platform/service_ioctl.h"
#include "test_root.h"

namespace {

std::atomic<int> g_opens{0}, g_closes{0};
DWORD Open(DWORD context, DWORD, DWORD) {
  ++g_opens;
  return context + 1;
}
BOOL Close(DWORD) {
  ++g_closes;
  return TRUE;
}
DWORD Read(DWORD open, LPVOID buffer, DWORD count) {
  if (count < 4) return 0xFFFFFFFFu;  // the device's failure
  memcpy(buffer, &open, 4);
  return 4;
}
DWORD Write(DWORD, const void*, DWORD count) { return count / 2; }
BOOL Control(DWORD open, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLength, DWORD* actual) {
  if (!out || outLength < 8) return FALSE;
  memcpy(out, &open, 4);
  memcpy(out + 4, &code, 4);
  *actual = 8;
  return TRUE;
}

StreamEntryPoints Entries() {
  StreamEntryPoints e{};
  e.Open = Open;
  e.Close = Close;
  e.Read = Read;
  e.Write = Write;
  e.IOControl = Control;
  return e;
}

HANDLE g_loaded = nullptr;
HANDLE Loader(LPCWSTR name, DWORD) {
  if (std::u16string(name) != u"Echo") return nullptr;
  StreamEntryPoints e = Entries();
  g_loaded = PlatformRegisterDevice(u"ECH", 1, &e, 40, TRUE);
  return g_loaded;
}
BOOL Unloader(HANDLE service) { return PlatformDeregisterDevice(service); }
HANDLE EchoOf(LPCWSTR name) { return std::u16string(name) == u"ech1:" ? g_loaded : nullptr; }
// A device manager of this process that knows one service.
const DeviceManagerCalls kEchoManager{
    [](LPCWSTR) -> HANDLE { return nullptr; }, [](HANDLE) -> BOOL { return FALSE; }, Loader,
    [](LPCWSTR, DWORD, LPCWSTR, DWORD) -> HANDLE { return nullptr; }, Unloader, EchoOf};

}  // namespace

using DevicesTest = TempRootTest;

TEST_F(DevicesTest, RegisteredDevicesOpenReadWriteAndControl) {
  StreamEntryPoints e = Entries();
  HANDLE reg = PlatformRegisterDevice(u"TST", 3, &e, 100, FALSE);
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(PlatformRegisterDevice(u"tst", 3, &e, 100, FALSE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE h = CreateFileW(u"tst3:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD value = 0, n = 0;
  ASSERT_TRUE(ReadFile(h, &value, 4, &n, nullptr));
  EXPECT_EQ(value, 101u);
  char small[2];
  EXPECT_FALSE(ReadFile(h, small, 2, &n, nullptr));
  ASSERT_TRUE(WriteFile(h, "abcdef", 6, &n, nullptr));
  EXPECT_EQ(n, 3u);
  DWORD out[2] = {};
  ASSERT_TRUE(DeviceIoControl(h, 0x1234, nullptr, 0, out, sizeof out, &n, nullptr));
  EXPECT_EQ(out[0], 101u);
  EXPECT_EQ(out[1], 0x1234u);
  EXPECT_EQ(n, 8u);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));  // the serial calls are the device's controls
  EXPECT_EQ(dcb.DCBlength, 101u);
  CloseHandle(h);
  EXPECT_EQ(g_closes.load(), 1);
  EXPECT_TRUE(PlatformDeregisterDevice(reg));
  EXPECT_EQ(CreateFileW(u"TST3:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);  // and there is no host to ask
}

TEST_F(DevicesTest, ServicesAreActivatedFoundAndEnded) {
  EXPECT_EQ(ActivateService(u"Echo", 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  PlatformSetDeviceManager(&kEchoManager);
  HANDLE service = ActivateService(u"Echo", 0);
  ASSERT_NE(service, nullptr);
  HANDLE h = GetServiceHandle(u"ECH1:", nullptr, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD out[2] = {}, n = 0;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERVICE_STATUS, nullptr, 0, out, sizeof out, &n, nullptr));
  EXPECT_EQ(out[0], 40u);  // a service handle talks to the service's own context
  CloseHandle(h);
  EXPECT_TRUE(DeregisterService(service));
  EXPECT_EQ(GetServiceHandle(u"ECH1:", nullptr, nullptr), INVALID_HANDLE_VALUE);
  // A handle of the service itself ends it too (the settings program's kill sequence).
  ASSERT_NE(ActivateService(u"Echo", 0), nullptr);
  h = GetServiceHandle(u"ECH1:", nullptr, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeregisterService(h));
  CloseHandle(h);
  EXPECT_EQ(GetServiceHandle(u"ECH1:", nullptr, nullptr), INVALID_HANDLE_VALUE);
  PlatformSetDeviceManager(nullptr);
}

TEST_F(DevicesTest, ModulesOfThisProcessResolveByName) {
  PlatformRegisterModule(u"Fake.dll", [](const char* symbol) -> FARPROC {
    return strcmp(symbol, "Answer") == 0 ? reinterpret_cast<FARPROC>(+[]() { return 42; }) : nullptr;
  });
  HMODULE m = LoadLibraryW(u"FAKE.DLL");
  ASSERT_NE(m, nullptr);
  auto answer = reinterpret_cast<int (*)()>(GetProcAddressW(m, u"Answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetProcAddressW(m, u"Other"), nullptr);
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(LoadLibraryW(u"NoSuchModule.dll"), nullptr);
  EXPECT_EQ(LoadLibraryW(u"../escape.dll"), nullptr);
  PlatformRegisterModule(u"Fake.dll", nullptr);
}
