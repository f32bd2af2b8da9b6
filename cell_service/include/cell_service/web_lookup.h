// The web location lookup: a cell's position from the lookup service, in the binary form
// ("/glm/mmap") or the JSON form ("/loc/json"), over HTTP/1.0 on port 80 of the configured host.
#pragma once
#include "platform/types.h"

struct LookupResult {
  double Latitude;
  double Longitude;
};
extern LookupResult g_Lookup;

// Return codes of both forms.
constexpr int LOOKUP_NO_ANSWER = 0;  // busy, no host, connection failure or an unusable reply
constexpr int LOOKUP_FOUND = 1;      // position in g_Lookup
constexpr int LOOKUP_NO_POSITION = 2;

// The host both forms go to: "LookupHost" of Software\Quorvale\CellTower. There is no default: no
// lookup leaves the machine until the user names a host.
void ReadLookupHost();
int BinaryLookup(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid);
int JsonLookup(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, int signal, int timingAdvance);
// The access token the last JSON answer gave ("" until one did).
const char* LookupAccessToken();
// Where an exchange goes.
struct WebEndpoint {
  const char* host;
  WORD port;
  bool secure;  // HTTPS with certificate checks
};
// One POST of `body` to `path` at `to` and one read of at most `capacity` bytes of the reply; the
// count read (0: no reply, a status other than 2xx, or a stop). A stop ends it within a second.
DWORD WebExchange(const WebEndpoint& to, const char16_t* path, const char16_t* accept, const char16_t* type,
                  const void* body, DWORD length, void* reply, DWORD capacity);
// A stop ends the exchange in progress within a second and counts itself: a job that began
// before it makes no more lookups (WebLookupStops changed).
void CancelWebLookups();
LONG WebLookupStops();
// Fills the 55-byte binary request.
void BuildBinaryRequest(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, BYTE request[55]);
// Reads a binary answer of `count` bytes: the status and, with status 0, a position in range.
int ReadBinaryAnswer(const BYTE* reply, DWORD count, LookupResult* out);
// Reads a JSON answer: LOOKUP_FOUND with both coordinates finite and in range (stored in *out),
// else LOOKUP_NO_POSITION; an "access_token" member replaces the token.
int ReadJsonAnswer(const char* text, LookupResult* out);
