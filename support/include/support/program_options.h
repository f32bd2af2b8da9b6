// What every Ferrox program's command line shares: the version and the one-line refusal of an
// option getopt_long did not take.
#pragma once
#include <functional>
#include <initializer_list>

#define FERROX_VERSION "3.19"

// Prints "<program> <version>" on stdout; returns 0 (the exit code).
int PrintVersion(const char* program);
// One option of a program beyond the shared ones: its long name (without "--"), whether it takes
// a value, and what taking it does: 0 to go on, else the exit code (having said why).
struct ProgramOption {
  const char* name;
  bool takesValue;
  std::function<int(const char* value)> take;
};

enum ProgramOptionRules : unsigned {
  OPTIONS_WITH_ROOT = 1,       // --root DIR sets the data root
  OPTIONS_BEFORE_COMMAND = 2,  // reading stops at the first word that is not an option
};

// Reads --help, --version (and --root DIR with OPTIONS_WITH_ROOT) and `extra`; an unknown
// option or a missing value is refused in one line. Returns -1 to go on (optind then names the
// first argument), else the exit code to end with.
int ReadProgramOptions(int argc, char** argv, const char* program, const char* usage,
                       std::initializer_list<ProgramOption> extra, unsigned rules);
// An option that sets *flag.
std::function<int(const char*)> SetsFlag(bool* flag);
// An option whose value is a whole number from `low` to `high`, put in *out; else
// "<program>: --<name> takes a number from LOW to HIGH" and exit code 1.
std::function<int(const char*)> TakesNumber(const char* program, const char* name, long* out, long low, long high);
// The options a tool with commands takes before its command: --root DIR, --help, --version.
// Returns -1 to go on (optind then names the command), else the exit code to end with.
int ReadCommandToolOptions(int argc, char** argv, const char* program, const char* usage);
// A command that only reads must not make a data root: when PlatformRoot() is not a folder, says
// "<program>: no data root at ROOT (see --root)" on stderr and returns 1; else 0.
int RefuseMissingRoot(const char* program);
// After getopt_long returned '?' or ':': says which option was wrong on stderr; returns 1.
int RefuseOption(const char* program, char** argv);
