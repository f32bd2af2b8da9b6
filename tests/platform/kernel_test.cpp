// Events, waits, threads, last error and interlocked operations.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>
#include "test_root.h"

namespace {

struct Events {
  HANDLE h[4];
  explicit Events(BOOL manual) {
    for (auto& e : h) e = CreateEventW(nullptr, manual, FALSE, nullptr);
  }
  ~Events() {
    for (auto& e : h) CloseHandle(e);
  }
};

DWORD WINAPI_Return42(LPVOID param) {
  Sleep(20);
  static_cast<std::atomic<int>*>(param)->store(1);
  return 42;
}

}  // namespace

TEST(Events, ManualResetStaysSignalledAutoResetWakesOneWaiter) {
  HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetEvent(automatic);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  CloseHandle(manual);
  CloseHandle(automatic);
}

TEST(Events, NamedEventIsSharedAndReportsAlreadyExists) {
  HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"FrxSingleInstance");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE b = CreateEventW(nullptr, TRUE, FALSE, u"frxsingleinstance");
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_NE(a, b);
  SetEvent(a);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
  // With every handle closed the name is free again.
  HANDLE c = CreateEventW(nullptr, TRUE, FALSE, u"FrxSingleInstance");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_TIMEOUT);
  CloseHandle(c);
}

TEST(Waits, LowestSignalledIndexWinsAndAutoResetIsConsumedOnlyThere) {
  Events e(FALSE);
  SetEvent(e.h[3]);
  SetEvent(e.h[1]);
  SetEvent(e.h[2]);
  EXPECT_EQ(WaitForMultipleObjects(4, e.h, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(4, e.h, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(4, e.h, FALSE, 0), WAIT_OBJECT_0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, e.h, FALSE, 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllNeedsEveryObject) {
  Events e(TRUE);
  SetEvent(e.h[0]);
  SetEvent(e.h[1]);
  SetEvent(e.h[2]);
  EXPECT_EQ(WaitForMultipleObjects(4, e.h, TRUE, 10), WAIT_TIMEOUT);
  SetEvent(e.h[3]);
  EXPECT_EQ(WaitForMultipleObjects(4, e.h, TRUE, 10), WAIT_OBJECT_0);
}

TEST(Waits, BadArgumentsFail) {
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345));
  EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(0, &e, FALSE, 0), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(bogus));
  EXPECT_FALSE(CloseHandle(bogus));
  CloseHandle(e);
}

TEST(Waits, ASignalFromAnotherThreadEndsTheWait) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto start = std::chrono::steady_clock::now();
  std::thread t([e] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetEvent(e);
  });
  EXPECT_EQ(WaitForSingleObject(e, 10000), WAIT_OBJECT_0);
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  CloseHandle(e);
}

TEST(Threads, HandleIsSignalledWhenTheThreadEnds) {
  std::atomic<int> ran{0};
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, WINAPI_Return42, &ran, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  if (!ran) {
    EXPECT_EQ(code, STILL_ACTIVE);
  }
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(ran.load(), 1);
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  // Still signalled for every later wait.
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(TerminateThread(t, 0));  // reported, never done
  EXPECT_TRUE(CloseHandle(t));
}

TEST(Threads, LastErrorIsPerThread) {
  SetLastError(1234);
  std::thread t([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(99);
  });
  t.join();
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Interlocked, CompareExchangePublishesOnce) {
  volatile LONG value = 0;
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 1; i <= 8; ++i)
    threads.emplace_back([&, i] {
      if (InterlockedCompareExchange(&value, i, 0) == 0) ++winners;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
  EXPECT_NE(value, 0);
  void* volatile ptr = nullptr;
  int a, b;
  EXPECT_EQ(InterlockedCompareExchangePointer(&ptr, &a, nullptr), nullptr);
  EXPECT_EQ(InterlockedCompareExchangePointer(&ptr, &b, nullptr), &a);
  EXPECT_EQ(ptr, &a);
  volatile LONG n = 5;
  EXPECT_EQ(InterlockedIncrement(&n), 6);
  EXPECT_EQ(InterlockedDecrement(&n), 5);
  EXPECT_EQ(InterlockedExchange(&n, 9), 5);
}

TEST(Handles, ClosingReleasesEveryHandle) {
  int before = PlatformOpenHandleCount();
  std::vector<HANDLE> hs;
  for (int i = 0; i < 50; ++i) hs.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  EXPECT_EQ(PlatformOpenHandleCount(), before + 50);
  for (HANDLE h : hs) CloseHandle(h);
  EXPECT_EQ(PlatformOpenHandleCount(), before);
}
