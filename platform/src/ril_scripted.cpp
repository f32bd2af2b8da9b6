// The scripted radio: a `ferrox-sim radio` on a Unix socket sends its lines; the first one says
// whether it takes this radio ("ready") or refuses it ("refuse").
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>
#include "platform/time.h"
#include "radio_instance.h"

namespace platform {

namespace {

void TakeLines(RadioInstance* radio) {
  size_t end;
  while ((end = radio->pending.find('\n')) != std::string::npos) {
    std::string line = radio->pending.substr(0, end);
    radio->pending.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ApplyRadioLine(radio, line);
  }
  if (radio->pending.size() > 4096) radio->pending.clear();  // no line is that long
}

}  // namespace

bool ScriptedRadioOpen(RadioInstance* radio, const std::string& link) {
  sockaddr_un address{};
  if (link.empty() || link.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, link.c_str(), link.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return false;
  }
  // The first line decides; the simulator sends it at once.
  std::string first;
  const int waitMs = static_cast<int>(PlatformRealMs(2000)) + 1;
  while (first.find('\n') == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    char buffer[512];
    ssize_t n = poll(&p, 1, waitMs) == 1 ? recv(fd, buffer, sizeof buffer, 0) : -1;
    if (n <= 0) {
      close(fd);
      return false;
    }
    first.append(buffer, static_cast<size_t>(n));
  }
  size_t end = first.find('\n');
  if (first.compare(0, 5, "ready") != 0) {
    close(fd);
    return false;
  }
  radio->pending = first.substr(end + 1);
  radio->source = fd;  // the rest (the state replayed to a new radio) is read on the radio's thread
  return true;
}

bool ScriptedRadioPump(RadioInstance* radio) {
  char buffer[1024];
  ssize_t n = recv(radio->source, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (n > 0) radio->pending.append(buffer, static_cast<size_t>(n));
  TakeLines(radio);
  return true;
}

}  // namespace platform
