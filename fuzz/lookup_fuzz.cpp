// Fuzzing the lookup service's answers: bytes as a binary answer and as JSON text; whatever they
// hold, a position found is finite and in range.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include "cell_service/web_lookup.h"

static void CheckFound(int result, const LookupResult& r) {
  if (result != LOOKUP_FOUND) return;
  if (!std::isfinite(r.Latitude) || !std::isfinite(r.Longitude) || std::fabs(r.Latitude) > 90 ||
      std::fabs(r.Longitude) > 180)
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LookupResult r{};
  DWORD binary = size > 56 ? 56 : static_cast<DWORD>(size);
  CheckFound(ReadBinaryAnswer(data, binary, &r), r);
  static char text[1025];  // the JSON answer's buffer and its terminator
  size_t n = size > 1024 ? 1024 : size;
  memcpy(text, data, n);
  text[n] = 0;
  CheckFound(ReadJsonAnswer(text, &r), r);
  if (strlen(LookupAccessToken()) > 63) abort();
  return 0;
}
