// What every Ferrox program's command line shares: the version and the one-line refusal of an
// option getopt_long did not take.
#pragma once

#define FERROX_VERSION "3.19"

// Prints "<program> <version>" on stdout; returns 0 (the exit code).
int PrintVersion(const char* program);
// The options a tool with commands takes before its command: --root DIR, --help, --version.
// Returns -1 to go on (optind then names the command), else the exit code to end with.
int ReadCommandToolOptions(int argc, char** argv, const char* program, const char* usage);
// A command that only reads must not make a data root: when PlatformRoot() is not a folder, says
// "<program>: no data root at ROOT (see --root)" on stderr and returns 1; else 0.
int RefuseMissingRoot(const char* program);
// After getopt_long returned '?' or ':': says which option was wrong on stderr; returns 1.
int RefuseOption(const char* program, char** argv);
