// An acceptor that ran out of descriptors (EMFILE, ENFILE): the waiting connection stays in the
// listen queue, and the acceptor pauses instead of spinning at full CPU, saying so once.
#pragma once
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include "support/log.h"

// True when the error of accept() was the lack of a descriptor and the acceptor has paused.
inline bool PausedForDescriptors(const char* server, std::atomic<bool>* said) {
  if (errno != EMFILE && errno != ENFILE) return false;
  if (!said->exchange(true))
    LogPrintf(LOG_CRLF | LOG_FLUSH, "%s: no descriptor left for a connection, waiting for one", server);
  usleep(200000);
  return true;
}
