// One platform per process: a module loaded by the process shares its handles, events and last
// error with the program and with every other module.
#include <atomic>
#include <thread>
#include "test_root.h"

namespace {

struct Kit {
  HMODULE module = LoadLibraryW(u"FerroxTestKit.dll");
  ~Kit() {
    if (module) FreeLibrary(module);
  }
  template <typename F>
  F Get(const char16_t* name) {
    return reinterpret_cast<F>(GetProcAddressW(module, name));
  }
};

}  // namespace

TEST(OnePlatform, AnEventOfOneModuleIsSignalledByAnotherAndWakesTheWaiter) {
  Kit kit;
  ASSERT_NE(kit.module, nullptr);
  auto signal = kit.Get<BOOL (*)(HANDLE)>(u"Kit_SignalEvent");
  auto create = kit.Get<HANDLE (*)()>(u"Kit_CreateEvent");
  ASSERT_TRUE(signal && create);
  // The program's event, signalled from inside the module while a thread waits on it.
  HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] { result = WaitForSingleObject(mine, 10000); });
  EXPECT_TRUE(signal(mine));
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  // The module's event, signalled by the program.
  HANDLE theirs = create();
  ASSERT_NE(theirs, nullptr);
  EXPECT_EQ(WaitForSingleObject(theirs, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(theirs));
  EXPECT_EQ(WaitForSingleObject(theirs, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(theirs));  // a handle made in the module closes here
  CloseHandle(mine);
}

TEST(OnePlatform, TheLastErrorSetInAModuleIsReadByItsCaller) {
  Kit kit;
  auto fail = kit.Get<BOOL (*)(DWORD)>(u"Kit_FailWith");
  ASSERT_NE(fail, nullptr);
  SetLastError(0);
  EXPECT_FALSE(fail(1234));
  EXPECT_EQ(GetLastError(), 1234u);
  std::thread other([] { EXPECT_EQ(GetLastError(), 0u); });  // still per thread
  other.join();
}
