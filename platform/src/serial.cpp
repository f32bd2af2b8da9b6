// Serial ports on termios. A blocked WaitCommEvent or ReadFile is woken from another thread
// through an eventfd (SetCommMask, PurgeComm with PURGE_RXABORT); a device that disappears
// (a USB receiver unplugged, a pseudo-terminal whose other side closed) makes them fail.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include "handles.h"
#include "platform/kernel.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/serial_ioctl.h"
#include "platform/time.h"
#include "platform/wide.h"
#include "serial_port.h"
#include "serial_speed.h"

using namespace platform;

unsigned PlatformTermiosSpeed(DWORD baud) {
  switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
  }
}

speed_t SerialSpeedOf(DWORD baud) {
  speed_t speed = PlatformTermiosSpeed(baud);
  return speed == B0 ? B9600 : speed;
}

namespace {

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::shared_ptr<SerialPort> Port(HANDLE h) { return FindHandleAs<SerialPort>(h); }

// On a device's handle (a driver here or in the host) the serial calls are its I/O controls.
bool IsDeviceHandle(HANDLE h) {
  auto o = FindHandle(h);
  return o && o->IsDevice();
}

BOOL Forward(HANDLE h, DWORD function, const void* in, DWORD inLength, void* out, DWORD outLength) {
  DWORD actual = 0;
  return DeviceIoControl(h, SerialCode(function), const_cast<void*>(in), inLength, out, outLength, &actual,
                         nullptr);
}

}  // namespace

SerialPort::~SerialPort() {
  if (fd >= 0) close(fd);
  if (wakeFd >= 0) close(wakeFd);
}

// A wait that began before the new generation either sees it at its next look or is woken here:
// the generation is raised before the waiters are counted, and a waiter counts itself before it
// looks (both sequentially consistent), so a port nobody waits on costs no system call.
void SerialPort::Abort() {
  ++generation;
  if (waiters.load() == 0) return;
  uint64_t one = 1;
  ssize_t n = write(wakeFd, &one, sizeof one);
  (void)n;
}

// Waits for input, the abort of `gen`, or `timeoutUs` (-1 forever). 1 input, 0 timeout,
// 2 aborted, -1 device gone.
int SerialPort::WaitInput(unsigned gen, int64_t timeoutUs) {
  ++waiters;
  struct Leave {
    std::atomic<int>& count;
    ~Leave() { --count; }
  } leave{waiters};
  int64_t end = timeoutUs < 0 ? -1 : NowUs() + timeoutUs;
  for (;;) {
    if (generation != gen) return 2;
    int ms = -1;
    if (end >= 0) {
      int64_t left = end - NowUs();
      if (left <= 0) return 0;
      ms = static_cast<int>((left + 999) / 1000);
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int r = poll(p, 2, ms);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (p[1].revents & POLLIN) {
      uint64_t v;
      ssize_t n = read(wakeFd, &v, sizeof v);
      (void)n;
      continue;  // the generation tells whether this wait was meant
    }
    if (p[0].revents & POLLIN) return 1;
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return -1;
  }
}

BOOL SerialPort::Read(void* buf, DWORD n, DWORD* got) {
  *got = 0;
  COMMTIMEOUTS t;
  {
    std::lock_guard<std::mutex> lock(mu);
    t = timeouts;
  }
  unsigned gen = generation;
  bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                   t.ReadTotalTimeoutConstant == 0;
  bool totalLimit = t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant;
  int64_t totalUs = static_cast<int64_t>(PlatformRealMs(t.ReadTotalTimeoutMultiplier * n + t.ReadTotalTimeoutConstant) * 1000);
  int64_t intervalUs = static_cast<int64_t>(PlatformRealMs(t.ReadIntervalTimeout) * 1000);
  int64_t start = NowUs();
  while (*got < n) {
    ssize_t r = ::read(fd, static_cast<char*>(buf) + *got, n - *got);
    if (r > 0) {
      *got += static_cast<DWORD>(r);
      continue;
    }
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {  // the device went away
      if (*got) return TRUE;
      return Fail(ERROR_GEN_FAILURE);
    }
    if (immediate) break;
    int64_t wait = -1;
    if (totalLimit) wait = totalUs - (NowUs() - start);
    if (*got > 0 && t.ReadIntervalTimeout && t.ReadIntervalTimeout != MAXDWORD)
      wait = wait < 0 ? intervalUs : std::min(wait, intervalUs);
    if (totalLimit && wait <= 0) break;
    int w = WaitInput(gen, wait);
    if (w == 0 || w == 2) break;
    if (w < 0) {
      if (*got) return TRUE;
      return Fail(ERROR_GEN_FAILURE);
    }
  }
  return TRUE;
}

BOOL SerialPort::Write(const void* buf, DWORD n, DWORD* written) {
  *written = 0;
  while (*written < n) {
    ssize_t r = ::write(fd, static_cast<const char*>(buf) + *written, n - *written);
    if (r > 0) {
      *written += static_cast<DWORD>(r);
    } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0 || (p.revents & (POLLHUP | POLLERR))) return Fail(ERROR_GEN_FAILURE);
    } else {
      return Fail(ERROR_GEN_FAILURE);
    }
  }
  return TRUE;
}

DWORD PlatformSerialDevice(LPCWSTR name, char* out, DWORD size) {
  if (!out || size == 0) return 0;
  out[0] = 0;
  std::u16string key = std::u16string(SERIAL_PORTS_KEY) + u"\\" + name;
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &k) != ERROR_SUCCESS) return 0;
  WCHAR device[256] = {};
  DWORD bytes = sizeof device - 2;
  LONG err = RegQueryValueExW(k, u"Device", nullptr, nullptr, reinterpret_cast<BYTE*>(device), &bytes);
  RegCloseKey(k);
  if (err != ERROR_SUCCESS || !device[0]) return 0;
  std::string path = WideToUtf8(device);
  if (path.size() + 1 > size) return 0;
  memcpy(out, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

HANDLE PlatformOpenSerialPort(LPCWSTR name) {
  // COMn: -> Software\Quorvale\SerialPorts\COMn: values Device and BaudRate.
  std::u16string key = std::u16string(SERIAL_PORTS_KEY) + u"\\" + name;
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &k) != ERROR_SUCCESS) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  WCHAR device[256] = {};
  DWORD size = sizeof device - 2, baud = kDefaultBaudRate, bsize = 4;
  LONG err = RegQueryValueExW(k, u"Device", nullptr, nullptr, reinterpret_cast<BYTE*>(device), &size);
  RegQueryValueExW(k, u"BaudRate", nullptr, nullptr, reinterpret_cast<BYTE*>(&baud), &bsize);
  RegCloseKey(k);
  if (err != ERROR_SUCCESS || !device[0]) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A stable name (/dev/serial/by-id/...) is a link to the device of the moment: open follows it.
  std::string path = WideToUtf8(device);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  termios tio;
  bool terminal = tcgetattr(fd, &tio) == 0;
  if (terminal) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, SerialSpeedOf(baud ? baud : kDefaultBaudRate));
    cfsetospeed(&tio, SerialSpeedOf(baud ? baud : kDefaultBaudRate));
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {  // a terminal left cooked would mangle the sentences
      close(fd);
      SetLastError(ERROR_GEN_FAILURE);
      return INVALID_HANDLE_VALUE;
    }
  }
  if (baud == 0) {  // BaudRate 0: the speed the receiver talks at, else the default
    baud = terminal ? PlatformFindBaudRate(fd, path) : 0;
    if (baud == 0) {
      baud = kDefaultBaudRate;
      if (terminal) {
        cfsetispeed(&tio, SerialSpeedOf(baud));
        cfsetospeed(&tio, SerialSpeedOf(baud));
        if (tcsetattr(fd, TCSANOW, &tio) != 0) {
          close(fd);
          SetLastError(ERROR_GEN_FAILURE);
          return INVALID_HANDLE_VALUE;
        }
      }
    }
  }
  int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {  // without it a blocked wait could not be ended: no port
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<SerialPort>();
  port->fd = fd;
  port->wakeFd = wake;
  port->dcb.DCBlength = sizeof(DCB);
  port->dcb.BaudRate = baud;
  port->dcb.fBinary = 1;
  port->dcb.ByteSize = 8;
  return AddHandle(port);
}

// Waits for the mask's events, an abort, or `timeoutUs` (-1: forever).
static BOOL WaitEvents(HANDLE h, LPDWORD events, int64_t timeoutUs) {
  auto port = Port(h);
  if (!port || !events) return KObject::Fail(ERROR_INVALID_HANDLE);
  *events = 0;
  unsigned gen = port->generation;
  // An abort (PurgeComm) that came while nobody waited ends the next wait: it is never lost.
  if (port->abortPending.exchange(false)) return TRUE;
  DWORD mask = port->mask;
  if (mask == 0) return KObject::Fail(ERROR_INVALID_PARAMETER);
  int64_t end = timeoutUs < 0 ? -1 : NowUs() + timeoutUs;
  for (;;) {
    int64_t left = end < 0 ? -1 : end - NowUs();
    if (end >= 0 && left <= 0) return KObject::Fail(WAIT_TIMEOUT);
    int w = port->WaitInput(gen, left);
    if (w == 2) {  // the mask was changed or the wait aborted: no events
      port->abortPending = false;
      return TRUE;
    }
    if (w == 0) return KObject::Fail(WAIT_TIMEOUT);
    if (w < 0) return KObject::Fail(ERROR_GEN_FAILURE);
    int avail = 0;
    if (ioctl(port->fd, FIONREAD, &avail) == 0 && avail == 0) {
      // Readable with nothing queued: the other side hung up.
      pollfd p{port->fd, POLLIN, 0};
      if (poll(&p, 1, 0) < 0 && errno != EINTR) return KObject::Fail(ERROR_GEN_FAILURE);
      if (p.revents & (POLLHUP | POLLERR)) return KObject::Fail(ERROR_GEN_FAILURE);
      continue;
    }
    if (mask & EV_RXCHAR) {
      *events = EV_RXCHAR;
      return TRUE;
    }
    usleep(10000);  // data is waiting but not asked for: keep waiting for another event
  }
}

BOOL WaitCommEvent(HANDLE h, LPDWORD events, LPVOID) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_WAIT_ON_MASK, nullptr, 0, events, 4);
  return WaitEvents(h, events, -1);
}

BOOL PlatformWaitCommEventFor(HANDLE h, LPDWORD events, DWORD ms) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_WAIT_ON_MASK, nullptr, 0, events, 4);
  return WaitEvents(h, events, static_cast<int64_t>(PlatformRealMs(ms) * 1000.0));
}

int PlatformCommWaiters(HANDLE h) {
  if (IsDeviceHandle(h)) return -1;
  auto port = Port(h);
  return port ? port->waiters.load() : -1;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0);
  auto port = Port(h);
  if (!port) return KObject::Fail(ERROR_INVALID_HANDLE);
  port->mask = mask;
  port->Abort();
  return TRUE;
}

BOOL GetCommMask(HANDLE h, LPDWORD mask) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_GET_WAIT_MASK, nullptr, 0, mask, 4);
  auto port = Port(h);
  if (!port || !mask) return KObject::Fail(ERROR_INVALID_HANDLE);
  *mask = port->mask;
  return TRUE;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) {
  if (IsDeviceHandle(h)) {
    BYTE status[16] = {};
    if (!Forward(h, SERIAL_GET_COMMSTATUS, nullptr, 0, status, sizeof status)) return FALSE;
    if (errors) memcpy(errors, status, 4);
    if (stat) memcpy(stat, status + 4, sizeof *stat);
    return TRUE;
  }
  auto port = Port(h);
  if (!port) return KObject::Fail(ERROR_INVALID_HANDLE);
  if (errors) *errors = 0;
  int avail = 0;
  if (ioctl(port->fd, FIONREAD, &avail) != 0) return KObject::Fail(ERROR_GEN_FAILURE);
  pollfd p{port->fd, POLLIN, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && avail == 0)
    return KObject::Fail(ERROR_GEN_FAILURE);  // the device is gone
  if (stat) *stat = COMSTAT{0, static_cast<DWORD>(avail), 0};
  return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_PURGE, &flags, 4, nullptr, 0);
  auto port = Port(h);
  if (!port) return KObject::Fail(ERROR_INVALID_HANDLE);
  if (flags & PURGE_RXCLEAR) tcflush(port->fd, TCIFLUSH);
  if (flags & PURGE_TXCLEAR) tcflush(port->fd, TCOFLUSH);
  if (flags & (PURGE_RXABORT | PURGE_TXABORT)) {
    port->abortPending = true;  // sticks until a wait has seen it
    port->Abort();
  }
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_GET_TIMEOUTS, nullptr, 0, t, sizeof *t);
  auto port = Port(h);
  if (!port || !t) return KObject::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(port->mu);
  *t = port->timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* t) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_SET_TIMEOUTS, t, sizeof *t, nullptr, 0);
  auto port = Port(h);
  if (!port || !t) return KObject::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(port->mu);
  port->timeouts = *t;
  return TRUE;
}

BOOL SetCommBreak(HANDLE h) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0);
  auto port = Port(h);
  if (!port) return KObject::Fail(ERROR_INVALID_HANDLE);
  // A pseudo-terminal has no line to break: not an error here.
  if (ioctl(port->fd, TIOCSBRK) != 0 && errno != ENOTTY && errno != EINVAL) return KObject::Fail(ERROR_GEN_FAILURE);
  port->Abort();
  return TRUE;
}

BOOL ClearCommBreak(HANDLE h) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0);
  auto port = Port(h);
  if (!port) return KObject::Fail(ERROR_INVALID_HANDLE);
  // A pseudo-terminal has no line to break: not an error here.
  if (ioctl(port->fd, TIOCCBRK) != 0 && errno != ENOTTY && errno != EINVAL) return KObject::Fail(ERROR_GEN_FAILURE);
  return TRUE;
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_GET_DCB, nullptr, 0, dcb, sizeof *dcb);
  auto port = Port(h);
  if (!port || !dcb) return KObject::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(port->mu);
  *dcb = port->dcb;
  return TRUE;
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
  if (IsDeviceHandle(h)) return Forward(h, SERIAL_SET_DCB, dcb, sizeof *dcb, nullptr, 0);
  auto port = Port(h);
  if (!port || !dcb) return KObject::Fail(ERROR_INVALID_HANDLE);
  termios tio;
  if (tcgetattr(port->fd, &tio) == 0) {  // not a terminal (a file or socket): no speed to set
    cfsetispeed(&tio, SerialSpeedOf(dcb->BaudRate));
    cfsetospeed(&tio, SerialSpeedOf(dcb->BaudRate));
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0) return KObject::Fail(ERROR_GEN_FAILURE);
  }
  std::lock_guard<std::mutex> lock(port->mu);
  port->dcb = *dcb;
  return TRUE;
}
