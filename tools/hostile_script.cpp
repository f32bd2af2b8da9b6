// Absurd fields with right checksums, and junk: what a faulty chip, line noise or a wrong baud
// rate that happens to pass can put on a serial line.
#include "hostile_script.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "support/nmea_writer.h"

namespace {

struct Replacement {
  const char* kind;
  const char* type;  // sentence type the field belongs to
  int field;
  const char* value;
};

const Replacement kReplacements[] = {
    {"speed-inf", "RMC", 7, "inf"},       {"speed-nan", "RMC", 7, "nan"},      {"speed-nan", "GGA", 11, "nan"},
    {"sep-nan", "GGA", 11, "nan"},        {"lat-9999", "RMC", 3, "9999.9999"}, {"lat-9999", "GGA", 2, "9999.9999"},
    {"gsa-mode-9", "GSA", 2, "9"},        {"gsv-count", "GSV", 3, "999"},      {"gsv-values", "GSV", 5, "500"},
    {"gsv-values", "GSV", 6, "999"},      {"gsv-values", "GSV", 7, "200"},
};

bool KnownKind(const std::string& kind) {
  if (kind == "good" || kind == "junk") return true;
  for (const Replacement& r : kReplacements)
    if (kind == r.kind) return true;
  return false;
}

// One sentence (without CR LF) with its replacements, the checksum made again.
std::string Rewrite(const std::string& sentence, const std::string& kind) {
  size_t star = sentence.find('*');
  std::string body = sentence.substr(0, star);
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    size_t comma = body.find(',', at);
    fields.push_back(body.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  bool changed = false;
  for (const Replacement& r : kReplacements) {
    if (kind != r.kind || fields[0].size() != 6 || fields[0].compare(3, 3, r.type) != 0) continue;
    if (r.field < static_cast<int>(fields.size())) {
      fields[r.field] = r.value;
      changed = true;
    }
  }
  if (!changed) return sentence;
  std::string out = fields[0];
  for (size_t i = 1; i < fields.size(); ++i) out += "," + fields[i];
  char text[256];
  snprintf(text, sizeof text - 8, "%s", out.c_str());
  AppendChecksum(text, sizeof text);
  std::string result = text;
  return result.substr(0, result.size() - 2);  // CR LF added by the caller
}

// Bytes that look like NMEA and are not: '$', talkers, commas and digits, wrong checksums.
std::string Junk(std::mt19937_64& rng) {
  static const char kAlphabet[] = "$GPRMCGGA,.0123456789*NSEW\r\n";
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kAlphabet) - 2), length(200, 500);
  std::string out;
  int n = length(rng);
  for (int i = 0; i < n; ++i) out += kAlphabet[pick(rng)];
  // And whole sentences whose checksums are wrong.
  out += "\r\n$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*00\r\n";
  out += "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*00\r\n";
  return out;
}

}  // namespace

bool ParseHostileScript(const std::string& text, std::vector<HostilePhase>* phases, std::string* error) {
  phases->clear();
  size_t at = 0;
  while (at < text.size()) {
    size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    size_t colon = item.find(':');
    char* end = nullptr;
    double seconds = colon == std::string::npos ? 0 : strtod(item.c_str() + colon + 1, &end);
    std::string kind = item.substr(0, colon);
    if (colon == std::string::npos || !end || *end || !(seconds > 0)) {
      *error = "a phase is KIND:SECONDS, not '" + item + "'";
      return false;
    }
    if (!KnownKind(kind)) {
      *error = "unknown phase '" + kind + "'";
      return false;
    }
    phases->push_back({kind, seconds});
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (phases->empty()) *error = "no phase";
  return !phases->empty();
}

std::string HostilePhaseAt(const std::vector<HostilePhase>& phases, double t) {
  for (const HostilePhase& p : phases) {
    if (t < p.seconds) return p.kind;
    t -= p.seconds;
  }
  return "good";
}

std::string HostileBurst(const std::string& burst, const std::string& kind, std::mt19937_64& rng) {
  if (kind == "good") return burst;
  if (kind == "junk") return Junk(rng);
  std::string out;
  for (size_t at = 0; at < burst.size();) {
    size_t end = burst.find("\r\n", at);
    if (end == std::string::npos) end = burst.size();
    out += Rewrite(burst.substr(at, end - at), kind) + "\r\n";
    at = end + 2;
  }
  return out;
}
