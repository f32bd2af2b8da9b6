// Message beeps are recorded (tests read them) and ring the terminal bell where there is one.
#include <atomic>
#include <unistd.h>
#include "platform/beep.h"

static std::atomic<int> g_beeps{0};

BOOL MessageBeep(UINT) {
  ++g_beeps;
  // The bell is a courtesy: whether the terminal took it changes nothing for the caller.
  if (isatty(STDERR_FILENO) && write(STDERR_FILENO, "\a", 1) != 1) return TRUE;
  return TRUE;
}

int PlatformBeepCount() { return g_beeps; }
