// Open, read and close from several threads at once for a while: how long (FERROX_STRESS_SECONDS,
// default 3; 30 for the long runs), and what a process holds before and after.
#pragma once
#include <dirent.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#include "platform/gps_api.h"
#include "platform/kernel.h"

inline double StressSeconds() {
  const char* s = getenv("FERROX_STRESS_SECONDS");
  return s && atof(s) > 0 ? atof(s) : 3;
}

// Entries of a /proc folder (threads of a process, its descriptors); -1 when it cannot be read.
inline int ProcEntries(const std::string& folder) {
  int n = 0;
  DIR* d = opendir(folder.c_str());
  if (!d) return -1;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// This process's sockets, pipes and event descriptors: what a leaked connection or wake leaves
// (files such as a log opened on its first line stay open by design).
inline int KernelDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (dirent* e = readdir(d)) {
    char target[256] = "";
    std::string path = std::string("/proc/self/fd/") + e->d_name;
    if (e->d_name[0] == '.' || readlink(path.c_str(), target, sizeof target - 1) < 0) continue;
    std::string t = target;
    n += t.rfind("socket:", 0) == 0 || t.rfind("pipe:", 0) == 0 || t.rfind("anon_inode:", 0) == 0;
  }
  closedir(d);
  return n;
}

// Runs `round(thread, stop)` over and over on `threads` threads for `seconds`; the rounds done.
template <typename F>
long RunConcurrently(int threads, double seconds, F round) {
  std::atomic<bool> stop{false};
  std::atomic<long> rounds{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      while (!stop) {
        round(t);
        ++rounds;
      }
    });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (std::thread& w : workers) w.join();
  return rounds;
}

// What four threads got through one GPS API library: each opens with a new-location event, waits
// and reads as many times as its number, and closes, over and over.
struct GpsApiStress {
  long rounds, positions, failures;
};
inline GpsApiStress StressGpsApi(HANDLE (*open)(HANDLE, HANDLE, const WCHAR*, DWORD),
                                 DWORD (*position)(HANDLE, GPS_POSITION*, DWORD, DWORD), DWORD (*close)(HANDLE)) {
  std::atomic<long> positions{0}, failures{0};
  long rounds = RunConcurrently(4, StressSeconds(), [&](int t) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE h = open(event, nullptr, nullptr, 0);
    for (int i = 0; h && i < t; ++i) {  // threads hold their handles for different times
      WaitForSingleObject(event, 100);
      GPS_POSITION p{};
      p.dwVersion = GPS_VERSION_1;
      p.dwSize = sizeof p;
      if (position(h, &p, INFINITE, 0) == ERROR_SUCCESS) ++positions;
    }
    if (!h || close(h) != ERROR_SUCCESS) ++failures;
    CloseHandle(event);
  });
  return {rounds, positions, failures};
}
