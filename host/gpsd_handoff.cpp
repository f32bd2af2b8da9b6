// The hand-off to gpsd: a thread looks at the control socket twice a second. A socket made anew
// (another inode or change time: gpsd restarted) gets "+DEVICE"; gpsd answers "OK" or "ERROR".
// Each change of state is one log line (the journal shows it), never one per look.
#include "gpsd_handoff.h"
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include "platform/holders.h"
#include "support/log.h"

namespace {

std::string g_socket, g_device;
std::thread g_thread;
std::mutex g_lock;
std::condition_variable g_wake;
bool g_stopping = false;
std::string g_addedTo;  // the instance (inode, change time) that took the device; "" none

// One command on the control socket; gpsd's answer line ("OK", "ERROR"), or why none came.
std::string Command(const std::string& line) {
  FdHolder fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (fd.Get() < 0 || g_socket.size() >= sizeof a.sun_path) return "no socket";
  memcpy(a.sun_path, g_socket.c_str(), g_socket.size() + 1);
  timeval limit{5, 0};  // gpsd answers an add once it has opened and probed the device
  setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return std::string("not listening (") + strerror(errno) + ")";
  if (send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return "not taking commands";
  std::string reply;
  char c;
  while (reply.size() < 64 && recv(fd.Get(), &c, 1, 0) == 1 && c != '\n') reply += c;
  while (!reply.empty() && (reply.back() == '\r' || reply.back() == ' ')) reply.pop_back();
  return reply.empty() ? "no answer" : reply;
}

// The instance behind the socket: its inode and change time; "" when there is no socket.
std::string Instance() {
  struct stat st{};
  if (stat(g_socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return "";
  return std::to_string(st.st_ino) + "." + std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

void Watch() {
  std::string said, tried;  // the last state logged; the instance last offered the device
  std::unique_lock<std::mutex> lock(g_lock);
  while (!g_stopping) {
    lock.unlock();
    std::string instance = Instance(), state;
    if (instance.empty()) {
      state = "gpsd: no control socket at " + g_socket + ", waiting for gpsd";
      tried.clear();
    } else if (instance != tried) {
      std::string reply = Command("+" + g_device + "\n");
      if (reply == "OK") {
        tried = instance;
        state = "gpsd at " + g_socket + ": reads " + g_device;
      } else if (reply == "ERROR") {
        tried = instance;
        state = "gpsd at " + g_socket + " refused " + g_device;
      } else if (reply == "no answer") {  // asked: asking again would find the device there already
        tried = instance;
        state = "gpsd at " + g_socket + ": asked to read " + g_device + ", no answer";
      } else {
        state = "gpsd at " + g_socket + ": " + reply + ", trying again";
      }
    }
    lock.lock();
    if (!state.empty() && state != said) {
      LogPrintf(LOG_CRLF | LOG_FLUSH, "%s", state.c_str());
      said = state;
    }
    g_addedTo = tried;
    g_wake.wait_for(lock, std::chrono::milliseconds(500), [] { return g_stopping; });
  }
}

}  // namespace

void StartGpsdHandoff(const std::string& controlSocket, const std::string& device) {
  if (controlSocket.empty() || g_thread.joinable()) return;
  g_socket = controlSocket;
  g_device = device;
  g_stopping = false;
  g_thread = std::thread(Watch);
}

void StopGpsdHandoff() {
  if (!g_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_stopping = true;
  }
  g_wake.notify_all();
  g_thread.join();
  if (g_addedTo.empty() || Instance() != g_addedTo) return;  // that gpsd is gone already
  std::string reply = Command("-" + g_device + "\n");
  LogPrintf(LOG_CRLF | LOG_FLUSH, "gpsd at %s: %s", g_socket.c_str(),
            reply == "OK" ? ("let go of " + g_device).c_str() : reply.c_str());
}
