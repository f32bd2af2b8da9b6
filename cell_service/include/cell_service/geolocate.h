// The geolocation lookup that public cell-location services speak today: an HTTPS POST of JSON
// naming the cell to CellTower "GeolocateUrl" (with "GeolocateKey" as its key parameter), the
// answer a position and its accuracy. No default: nothing leaves the machine unless the user
// names a service.
#pragma once
#include <string>
#include "cell_service/web_lookup.h"

// Reads GeolocateUrl and GeolocateKey.
void ReadGeolocateSettings();
bool GeolocateConfigured();
// LOOKUP_FOUND with the position in *out and the accuracy in metres (0: none given),
// LOOKUP_NO_POSITION for an answer without one, LOOKUP_NO_ANSWER otherwise (404 included).
int GeolocateLookup(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, int signal, LookupResult* out, double* accuracy);
// The request body for a cell (a 5G cell's packed area and id are given whole).
std::string GeolocateRequest(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, int signal);
// Reads {"location":{"lat":..,"lng":..},"accuracy":..}.
int ReadGeolocateAnswer(const char* text, LookupResult* out, double* accuracy);
// "https://host[:port]/path[?query]" (or http) into its parts; false for anything else.
bool SplitLookupUrl(const std::string& url, std::string* host, WORD* port, bool* secure, std::string* path);
