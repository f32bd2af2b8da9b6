// NMEA sentences for the tests, with their right checksums.
#pragma once
#include <cstdio>
#include <string>

// "$GPGGA,..." -> "$GPGGA,...*hh\r\n"
inline std::string Sentence(const std::string& body) {
  unsigned char sum = 0;
  for (char c : body.substr(1)) sum = static_cast<unsigned char>(sum ^ c);
  char tail[8];
  snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return body + tail;
}
