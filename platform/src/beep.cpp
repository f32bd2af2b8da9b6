// Message beeps are recorded (tests read them) and ring the terminal bell where there is one.
#include <atomic>
#include <unistd.h>
#include "platform/beep.h"

static std::atomic<int> g_beeps{0};
static std::atomic<UINT> g_lastBeep{0};

BOOL MessageBeep(UINT type) {
  ++g_beeps;
  g_lastBeep = type;
  if (isatty(STDERR_FILENO)) {
    ssize_t n = write(STDERR_FILENO, "\a", 1);
    (void)n;
  }
  return TRUE;
}

int PlatformBeepCount() { return g_beeps; }
UINT PlatformLastBeep() { return g_lastBeep; }
