// A worker thread kept in a library's static storage. A process may exit (or unload the library)
// with the worker still running: std::thread would then abort the process. This holder asks the
// worker to stop, waits a bounded time for it and, only when it does not end, lets it go.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class ExitSafeThread {
 public:
  ExitSafeThread() = default;
  ExitSafeThread(const ExitSafeThread&) = delete;
  ExitSafeThread& operator=(const ExitSafeThread&) = delete;
  ~ExitSafeThread() { Finish(std::chrono::milliseconds(2000)); }

  // Runs `body` on a new thread; `wake` is what makes it return (set its stop flag, wake its wait).
  // False when one is running already.
  bool Start(std::function<void()> body, std::function<void()> wake) {
    if (thread_.joinable()) return false;
    done_ = std::make_shared<std::atomic<bool>>(false);
    wake_ = std::move(wake);
    // The flag is shared, not the holder's: a thread let go may outlive the holder.
    thread_ = std::thread([done = done_, body = std::move(body)] {
      body();
      *done = true;
    });
    return true;
  }
  bool Running() const { return thread_.joinable(); }
  // Wakes the thread and waits for it; true when it ended (or none ran), false when it was let go
  // after `limit`.
  bool Finish(std::chrono::milliseconds limit = std::chrono::milliseconds::max()) {
    if (!thread_.joinable()) return true;
    if (wake_) wake_();
    auto until = std::chrono::steady_clock::now();
    bool bounded = limit != std::chrono::milliseconds::max();
    if (bounded) until += limit;
    while (bounded && !*done_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (bounded && !*done_) {
      thread_.detach();
      return false;
    }
    thread_.join();
    return true;
  }

 private:
  std::thread thread_;
  std::shared_ptr<std::atomic<bool>> done_;
  std::function<void()> wake_;
};
