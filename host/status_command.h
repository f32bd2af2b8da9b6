// `frxd --status` and `frxd --stop`: what a running frxd on the data root is doing, read from its
// lock, its settings and what it and the driver publish in the registry; and ending it.
#pragma once

// Prints the status; returns 0, or 1 (with one line on standard error) when frxd is not running.
int PrintHostStatus();
// Ends the frxd running on the root and waits up to 10 s for it; 0 when it ended, 1 otherwise.
int StopRunningHost();
// The pid of the frxd holding the root's lock, 0 when none does. Creates nothing.
int RunningHostPid();
