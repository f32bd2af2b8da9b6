// Shared command-line answers.
#include "support/program_options.h"
#include <getopt.h>
#include <cstdio>

int PrintVersion(const char* program) {
  printf("%s %s\n", program, FERROX_VERSION);
  return 0;
}

int RefuseOption(const char* program, char** argv) {
  fprintf(stderr, "%s: %s is unknown or needs a value (see --help)\n", program, argv[optind - 1]);
  return 1;
}
