// Shared command-line answers.
#include "support/program_options.h"
#include <getopt.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include "platform/files.h"

int PrintVersion(const char* program) {
  printf("%s %s\n", program, FERROX_VERSION);
  return 0;
}

int RefuseOption(const char* program, char** argv) {
  fprintf(stderr, "%s: %s is unknown or needs a value (see --help)\n", program, argv[optind - 1]);
  return 1;
}

int RefuseMissingRoot(const char* program) {
  struct stat st{};
  if (stat(PlatformRoot().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  fprintf(stderr, "%s: no data root at %s (see --root)\n", program, PlatformRoot().c_str());
  return 1;
}

int ReadProgramOptions(int argc, char** argv, const char* program, const char* usage,
                       std::initializer_list<ProgramOption> extra, unsigned rules) {
  std::vector<option> table;
  const std::vector<ProgramOption> options(extra);
  for (size_t i = 0; i < options.size(); ++i)
    table.push_back({options[i].name, options[i].takesValue ? required_argument : no_argument, nullptr,
                     static_cast<int>(1000 + i)});
  table.push_back({"help", no_argument, nullptr, 'h'});
  table.push_back({"version", no_argument, nullptr, 'V'});
  if (rules & OPTIONS_WITH_ROOT) table.push_back({"root", required_argument, nullptr, 'r'});
  table.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  // Before a command, what follows it (a value starting with '-' too) is the command's own.
  const char* shortOptions = (rules & OPTIONS_BEFORE_COMMAND) ? "+h" : "h";
  for (int c; (c = getopt_long(argc, argv, shortOptions, table.data(), nullptr)) != -1;) {
    if (c == 'h') {
      fputs(usage, stdout);
      return 0;
    }
    if (c == 'V') return PrintVersion(program);
    if (c == 'r') {
      PlatformSetRoot(optarg);
      continue;
    }
    if (c < 1000 || c >= 1000 + static_cast<int>(options.size())) return RefuseOption(program, argv);
    if (int done = options[static_cast<size_t>(c - 1000)].take(optarg)) return done;
  }
  return -1;
}

std::function<int(const char*)> SetsFlag(bool* flag) {
  return [flag](const char*) {
    *flag = true;
    return 0;
  };
}

std::function<int(const char*)> TakesNumber(const char* program, const char* name, long* out, long low, long high) {
  return [=](const char* value) {
    char* end = nullptr;
    errno = 0;
    long n = strtol(value, &end, 10);
    if (errno || end == value || *end || n < low || n > high) {
      fprintf(stderr, "%s: --%s takes a number from %ld to %ld\n", program, name, low, high);
      return 1;
    }
    *out = n;
    return 0;
  };
}

int ReadCommandToolOptions(int argc, char** argv, const char* program, const char* usage) {
  return ReadProgramOptions(argc, argv, program, usage, {}, OPTIONS_WITH_ROOT | OPTIONS_BEFORE_COMMAND);
}
