// Shared command-line answers.
#include "support/program_options.h"
#include <getopt.h>
#include <sys/stat.h>
#include <cstdio>
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

int ReadCommandToolOptions(int argc, char** argv, const char* program, const char* usage) {
  static const option kOptions[] = {{"root", required_argument, nullptr, 'r'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'V'},
                                     {nullptr, 0, nullptr, 0}};
  opterr = 0;
  // Options come before the command: what follows it (a value starting with '-' too) is its own.
  for (int c; (c = getopt_long(argc, argv, "+h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'r': PlatformSetRoot(optarg); break;
      case 'h': fputs(usage, stdout); return 0;
      case 'V': return PrintVersion(program);
      default: return RefuseOption(program, argv);
    }
  }
  return -1;
}
