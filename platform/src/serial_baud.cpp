// Finding the speed of a receiver: with BaudRate 0 the port tries the usual speeds of GPS
// receivers and keeps the first at which NMEA sentences with right checksums arrive.
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include "platform/time.h"
#include "serial_speed.h"

namespace {

// The order receivers are met in: the NMEA standard's speeds first, then the fast ones.
constexpr DWORD kTrialSpeeds[] = {9600, 4800, 38400, 115200, 19200, 57600};
// How long one speed is listened to (platform ms): two bursts of a 1 Hz receiver.
constexpr DWORD kTrialMs = 2200;
constexpr int kSentencesNeeded = 2;

std::mutex g_lock;
std::map<std::string, DWORD> g_found;  // device -> the speed found last, tried first next time

// Sentences "$....*hh" with a right checksum in `text`.
int RightSentences(const std::string& text) {
  int count = 0;
  for (size_t p = text.find('$'); p != std::string::npos; p = text.find('$', p + 1)) {
    size_t star = text.find('*', p);
    if (star == std::string::npos || star + 2 >= text.size() || star - p > 120) continue;
    unsigned char sum = 0;
    bool clean = true;
    for (size_t i = p + 1; i < star; ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      clean = clean && c >= 0x20 && c < 0x7F && c != '$';
      sum = static_cast<unsigned char>(sum ^ c);
    }
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", sum);
    if (clean && text.compare(star + 1, 2, hex) == 0) ++count;
  }
  return count;
}

bool SetSpeed(int fd, DWORD baud) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return false;
  cfsetispeed(&tio, SerialSpeedOf(baud));
  cfsetospeed(&tio, SerialSpeedOf(baud));
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  tcflush(fd, TCIFLUSH);  // what came at the last speed
  return true;
}

// Listens at `baud` until enough sentences came or the trial time ran out.
bool Listen(int fd, DWORD baud) {
  if (!SetSpeed(fd, baud)) return false;
  using Clock = std::chrono::steady_clock;
  auto end = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(PlatformRealMs(kTrialMs) * 1000));
  std::string text;
  while (Clock::now() < end) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left > 0 ? left : 0) <= 0) continue;
    if (p.revents & (POLLHUP | POLLERR)) return false;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    text.append(buf, static_cast<size_t>(n));
    if (RightSentences(text) >= kSentencesNeeded) return true;
    if (text.size() > 8192) text.erase(0, text.size() - 1024);
  }
  return false;
}

}  // namespace

DWORD PlatformFindBaudRate(int fd, const std::string& device) {
  DWORD first = 0;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_found.find(device);
    if (it != g_found.end()) first = it->second;
  }
  if (first && Listen(fd, first)) return first;
  for (DWORD baud : kTrialSpeeds) {
    if (baud == first || !Listen(fd, baud)) continue;
    std::lock_guard<std::mutex> lock(g_lock);
    g_found[device] = baud;
    return baud;
  }
  return 0;
}
