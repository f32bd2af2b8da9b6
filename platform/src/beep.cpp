// Message beeps are recorded (tests read them) and ring the terminal bell where there is one.
#include <atomic>
#include <unistd.h>
#include "platform/beep.h"

static std::atomic<int> g_beeps{0};

BOOL MessageBeep(UINT) {
  ++g_beeps;
  // The bell is a courtesy: whether a terminal took it changes nothing for the caller.
  const bool rang = isatty(STDERR_FILENO) && write(STDERR_FILENO, "\a", 1) == 1;
  (void)rang;
  return TRUE;
}

int PlatformBeepCount() { return g_beeps; }
