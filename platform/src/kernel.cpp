// Events, threads, waits, last error and interlocked operations on pthreads.
#include <sys/eventfd.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>
#include "handles.h"
#include "platform/kernel.h"
#include "platform/time.h"
#include "platform/wide.h"

namespace platform {
namespace {

// Never destroyed: threads that still run while the process exits may use them.
std::mutex& g_lock = *new std::mutex;
std::map<uintptr_t, std::shared_ptr<KObject>>& g_handles = *new std::map<uintptr_t, std::shared_ptr<KObject>>;
uintptr_t g_nextHandle = 0x1000;
thread_local DWORD t_lastError = 0;

// A thread inside WaitForMultipleObjects: only the objects it waits on wake it.
struct Waiter {
  std::condition_variable cv;
};

struct WaitableObject : KObject {
  std::vector<Waiter*> waiters;  // under g_lock
  bool Waitable() const override { return true; }
  void WakeWaiters() {  // under g_lock
    for (Waiter* w : waiters) w->cv.notify_one();
  }
};

struct Event : WaitableObject {
  bool manual = false;
  bool state = false;
  std::u16string name;
  int fd = -1;  // an eventfd a Linux program polls, written at each SetEvent (made on demand)
  ~Event() override {
    if (fd >= 0) close(fd);
  }
  bool Signalled() const override { return state; }
  void Consume() override {
    if (!manual) state = false;
  }
};

// Named events shared within the process: the name (lower case) to the live object.
std::map<std::u16string, std::weak_ptr<Event>>& g_namedEvents = *new std::map<std::u16string, std::weak_ptr<Event>>;

struct Thread : WaitableObject {
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
  bool Signalled() const override { return done; }
};

std::u16string LowerName(LPCWSTR name) {
  std::u16string s;
  for (; *name; ++name) s.push_back(WideLower(*name));
  return s;
}

}  // namespace

BOOL KObject::Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}


HANDLE AddHandle(std::shared_ptr<KObject> object) {
  std::lock_guard<std::mutex> lock(g_lock);
  uintptr_t h = g_nextHandle;
  g_nextHandle += 4;
  g_handles[h] = std::move(object);
  return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<KObject> FindHandle(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
  return it == g_handles.end() ? nullptr : it->second;
}

}  // namespace platform

using namespace platform;

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  std::shared_ptr<Event> event;
  bool existed = false;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (name && *name) {
      std::u16string key = LowerName(name);
      auto it = g_namedEvents.find(key);
      if (it != g_namedEvents.end()) event = it->second.lock();
      if (event) {
        existed = true;
      } else {
        event = std::make_shared<Event>();
        event->name = key;
        g_namedEvents[key] = event;
      }
    } else {
      event = std::make_shared<Event>();
    }
    if (!existed) {
      event->manual = manualReset != 0;
      event->state = initialState != 0;
    }
  }
  HANDLE h = AddHandle(event);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

static BOOL SetEventState(HANDLE h, bool state) {
  auto event = FindHandleAs<Event>(h);
  if (!event) return KObject::Fail(ERROR_INVALID_HANDLE);
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    event->state = state;
    fd = event->fd;
    if (state) event->WakeWaiters();
  }
  if (state) {
    uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof one) < 0) {
      // the counter is full: the program has a wake-up pending already
    }
  }
  return TRUE;
}

int PlatformEventFd(HANDLE h) {
  auto event = FindHandleAs<Event>(h);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_lock);
  if (event->fd < 0) event->fd = eventfd(event->state ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (event->fd < 0) SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // the program gets -1 and can say so
  return event->fd;
}

BOOL SetEvent(HANDLE h) { return SetEventState(h, true); }
BOOL ResetEvent(HANDLE h) { return SetEventState(h, false); }

int PlatformWaiters(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == g_handles.end() || !it->second->Waitable()) return -1;
  return static_cast<int>(static_cast<WaitableObject*>(it->second.get())->waiters.size());
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjects(1, &h, FALSE, ms); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::shared_ptr<KObject> objects[MAXIMUM_WAIT_OBJECTS];  // no heap work on a wait
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = FindHandle(handles[i]);
    if (!objects[i] || !objects[i]->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  using Clock = std::chrono::steady_clock;
  const bool forever = ms == INFINITE;
  const auto deadline =
      Clock::now() + std::chrono::microseconds(static_cast<int64_t>(forever ? 0 : PlatformRealMs(ms) * 1000.0));
  std::unique_lock<std::mutex> lock(g_lock);
  Waiter self;
  struct Registration {  // on the objects' lists for the wait; off them (under the lock) at its end
    std::shared_ptr<KObject>* objects;
    DWORD count;
    Waiter* self;
    void Add() {
      for (DWORD i = 0; i < count; ++i) static_cast<WaitableObject*>(objects[i].get())->waiters.push_back(self);
    }
    ~Registration() {
      for (DWORD i = 0; i < count; ++i) {
        auto& list = static_cast<WaitableObject*>(objects[i].get())->waiters;
        auto it = std::find(list.begin(), list.end(), self);
        if (it != list.end()) list.erase(it);
      }
    }
  } registration{objects, 0, &self};
  for (;;) {
    if (waitAll) {
      bool all = true;
      for (DWORD i = 0; i < count; ++i) all = all && objects[i]->Signalled();
      if (all) {
        for (DWORD i = 0; i < count; ++i) objects[i]->Consume();
        return WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->Signalled()) {  // lowest signalled index wins
          objects[i]->Consume();
          return WAIT_OBJECT_0 + i;
        }
      }
    }
    if (ms == 0) return WAIT_TIMEOUT;  // a look, not a wait: no sleeping on the condition
    if (registration.count == 0) {
      registration.count = count;
      registration.Add();
    }
    if (forever) {
      self.cv.wait(lock);
    } else if (self.cv.wait_until(lock, deadline) == std::cv_status::timeout && Clock::now() >= deadline) {
      // One last look after the time ran out, so a signal at the deadline is not lost.
      for (DWORD i = 0; i < count; ++i) {
        if (!waitAll && objects[i]->Signalled()) {
          objects[i]->Consume();
          return WAIT_OBJECT_0 + i;
        }
      }
      return WAIT_TIMEOUT;
    }
  }
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD,
                    LPDWORD threadId) {
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  HANDLE h = AddHandle(thread);
  static std::atomic<DWORD> nextId{1};
  if (threadId) *threadId = nextId++;
  try {
    std::thread([thread, start, param]() {
      DWORD code = start(param);
      std::lock_guard<std::mutex> lock(g_lock);
      thread->exitCode = code;
      thread->done = true;
      thread->WakeWaiters();
    }).detach();
  } catch (...) {
    CloseHandle(h);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return h;
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode) {
  auto thread = FindHandleAs<Thread>(h);
  if (!thread || !exitCode) return KObject::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(g_lock);
  *exitCode = thread->exitCode;
  return TRUE;
}

// A thread cannot be killed safely on Linux. Every blocking call the threads make is wakeable,
// so this path is only reported; the caller goes on as if the thread had been ended.
BOOL TerminateThread(HANDLE h, DWORD) {
  auto thread = FindHandleAs<Thread>(h);
  if (!thread) return KObject::Fail(ERROR_INVALID_HANDLE);
  fprintf(stderr, "platform: TerminateThread refused for handle %p; the thread keeps running\n", h);
  return KObject::Fail(ERROR_NOT_SUPPORTED);
}

BOOL CloseHandle(HANDLE h) {
  std::shared_ptr<KObject> object;  // released outside the lock: a file's destructor closes it
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == g_handles.end()) return KObject::Fail(ERROR_INVALID_HANDLE);
    object = std::move(it->second);
    g_handles.erase(it);
    if (auto event = std::dynamic_pointer_cast<Event>(object); event && !event->name.empty() &&
                                                                event.use_count() == 2) {
      g_namedEvents.erase(event->name);  // last handle of a named event
    }
  }
  object->Closing();
  return TRUE;
}

int PlatformOpenHandleCount() {
  std::lock_guard<std::mutex> lock(g_lock);
  return static_cast<int>(g_handles.size());
}

LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

void* InterlockedCompareExchangePointer(void* volatile* target, void* exchange, void* comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG InterlockedIncrement(volatile LONG* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(volatile LONG* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }

void InitializeCriticalSection(CRITICAL_SECTION* cs) { cs->impl = new std::recursive_mutex; }
void DeleteCriticalSection(CRITICAL_SECTION* cs) {
  delete static_cast<std::recursive_mutex*>(cs->impl);
  cs->impl = nullptr;
}
void EnterCriticalSection(CRITICAL_SECTION* cs) { static_cast<std::recursive_mutex*>(cs->impl)->lock(); }
void LeaveCriticalSection(CRITICAL_SECTION* cs) { static_cast<std::recursive_mutex*>(cs->impl)->unlock(); }
