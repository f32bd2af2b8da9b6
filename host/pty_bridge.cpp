#include "pty_bridge.h"
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include "channel_pump.h"
#include "device_manager.h"
#include "platform/files.h"
#include "support/log.h"

namespace {

int g_master = -1;
int g_opened = -1;  // inotify: a program opened the terminal (-1: not available, polled instead)
int g_wake = -1;    // eventfd: the bridge stops
std::string g_link;
std::string g_terminal;  // the terminal's own name (/dev/pts/N)
std::thread g_thread;
std::atomic<bool> g_stop{false};

// Sleeps until a program opens the terminal (or the bridge stops); without inotify, a tenth of
// a second.
void WaitForAnOpen() {
  if (g_opened < 0 || g_wake < 0) {
    usleep(100000);
    return;
  }
  pollfd p[2] = {{g_opened, POLLIN, 0}, {g_wake, POLLIN, 0}};
  if (poll(p, 2, -1) < 0 && errno != EINTR) {
    usleep(100000);
    return;
  }
  char events[4096];
  while (read(g_opened, events, sizeof events) > 0) {
  }
}

// What a program that held the port without reading left queued (old batches, and a sentence
// cut where the queue was full) is discarded when it goes: the next program reads fresh batches
// only. The queue lives in the terminal's input side, so the bridge opens it for the flush.
void DiscardUnread() {
  int fd = open(g_terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  tcflush(fd, TCIFLUSH);
  close(fd);
}

void Pump(std::u16string driverKey, bool allowWrites) {
  HANDLE channel = nullptr;
  std::string batch, pending;
  while (!g_stop) {
    // Only a look while a channel is open: its read paces the loop, and a wait here would miss
    // the fixes of a receiver faster than 10 Hz.
    pollfd p{g_master, POLLIN, 0};
    poll(&p, 1, channel ? 0 : 100);
    if (p.revents & POLLHUP) {  // no program holds the terminal open
      if (channel) {
        CloseHandle(channel);
        channel = nullptr;
        pending.clear();
        DiscardUnread();
        LogLine(LOG_CRLF, "Virtual port closed by its program");
      }
      WaitForAnOpen();
      continue;
    }
    if (!channel) {
      channel = OpenChannel(DeviceNameOf(driverKey.c_str()));  // the index may change with a re-registration
      if (!channel) {
        usleep(500000);
        continue;
      }
      LogLine(LOG_CRLF, "Virtual port opened by a program");
    }
    DrainWrites(g_master, channel, allowWrites);
    if (!NextBatch(channel, &batch)) {
      CloseHandle(channel);
      channel = nullptr;
      continue;
    }
    // A program that does not read loses whole batches, never blocks the host.
    OfferBatch(g_master, &pending, batch);
  }
  if (channel) CloseHandle(channel);
}

}  // namespace

// A link this system may replace: none yet, or a link to a pseudo-terminal (one a host that did
// not stop in order left). Anything else at that path is the user's and is never deleted.
static bool IsOwnLinkOrFree(const std::string& link) {
  struct stat st;
  if (lstat(link.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISLNK(st.st_mode)) return false;
  char target[256] = {};
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 && strncmp(target, "/dev/pts/", 9) == 0;
}

bool StartPtyBridge(const std::string& link, const std::u16string& driverKey, bool allowWrites, std::string* error) {
  int slave;
  char name[256];
  if (openpty(&g_master, &slave, name, nullptr, nullptr) != 0) {
    *error = std::string("cannot make a pseudo-terminal: ") + strerror(errno);
    return false;
  }
  termios tio;
  if (tcgetattr(slave, &tio) != 0 || (cfmakeraw(&tio), tcsetattr(slave, TCSANOW, &tio)) != 0) {
    *error = std::string("cannot make the pseudo-terminal raw: ") + strerror(errno);
    close(slave);
    close(g_master);
    g_master = -1;
    return false;
  }
  close(slave);  // only programs hold the terminal: its hang-up tells when none does
  int flags = fcntl(g_master, F_GETFL);
  if (flags < 0 || fcntl(g_master, F_SETFL, flags | O_NONBLOCK) != 0) {  // a blocking master would stall the host
    *error = std::string("cannot make the pseudo-terminal non-blocking: ") + strerror(errno);
    close(g_master);
    g_master = -1;
    return false;
  }
  size_t slash = link.rfind('/');
  if (slash != std::string::npos) PlatformMakePrivateDirs(link.substr(0, slash));
  if (!IsOwnLinkOrFree(link)) {
    *error = "PtyLink " + link + " is a file that is not this system's link: left as it is (remove it or set another PtyLink)";
    close(g_master);
    g_master = -1;
    return false;
  }
  if (unlink(link.c_str()) != 0 && errno != ENOENT) {
    *error = "cannot replace the link " + link + ": " + strerror(errno);
    close(g_master);
    g_master = -1;
    return false;
  }
  if (symlink(name, link.c_str()) != 0) {
    *error = "cannot make the link " + link + ": " + strerror(errno);
    close(g_master);
    g_master = -1;
    return false;
  }
  g_link = link;
  g_terminal = name;
  g_stop = false;
  // Opens of the terminal wake the idle bridge; a watch that cannot be set leaves it polling.
  g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  g_opened = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (g_opened >= 0 && inotify_add_watch(g_opened, name, IN_OPEN) < 0) {
    LogPrintf(LOG_CRLF, "Virtual port: no open notices (%s), polled instead", strerror(errno));
    close(g_opened);
    g_opened = -1;
  }
  g_thread = std::thread(Pump, driverKey, allowWrites);
  LogPrintf(LOG_CRLF, "Virtual port %s is %s", link.c_str(), name);
  return true;
}

std::string VirtualPortTerminal() { return g_terminal; }

bool ShareVirtualPort(const char* groupName, std::string* error) {
  const struct group* g = getgrnam(groupName);
  if (!g) {
    *error = std::string("no group ") + groupName;
    return false;
  }
  if (chown(g_terminal.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0 || chmod(g_terminal.c_str(), 0660) != 0) {
    *error = strerror(errno);
    return false;
  }
  LogPrintf(LOG_CRLF, "Virtual port %s: read and written by the %s group too", g_terminal.c_str(), groupName);
  return true;
}

void StopPtyBridge() {
  if (g_master < 0) return;
  g_stop = true;
  uint64_t one = 1;
  if (g_wake >= 0 && write(g_wake, &one, sizeof one) != sizeof one)
    LogPrintf(LOG_CRLF, "Virtual port stop: %s", strerror(errno));
  if (g_thread.joinable()) g_thread.join();
  for (int* fd : {&g_opened, &g_wake})
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  if (unlink(g_link.c_str()) != 0 && errno != ENOENT)
    LogPrintf(LOG_CRLF, "Cannot remove the link %s: %s", g_link.c_str(), strerror(errno));
  close(g_master);
  g_master = -1;
}
