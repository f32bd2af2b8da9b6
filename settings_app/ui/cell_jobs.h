// The cell service's calls from the window, off the window's thread: a call can wait minutes
// behind an Export or Update that holds the service's data, and the window must never wait with
// it. Calls run one after another on a worker of their own; the status each leaves is picked up
// by the page that is open.
#pragma once
#include <functional>
#include "platform/types.h"

// Queues `call`; what it returns (the service's status word) is kept for TakeCellJobStatus.
void RunCellJob(std::function<DWORD()> call);
// Queues a call whose result is no status (an Export, an Update).
void RunCellTask(std::function<void()> call);
// True, with the status of the last call that ended since the last take.
bool TakeCellJobStatus(DWORD* status);
// Calls queued or running.
int CellJobsPending();
