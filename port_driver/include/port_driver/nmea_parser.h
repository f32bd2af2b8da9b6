// The NMEA parser: sentences of a serial receiver into the FixRecord of a read cycle.
#pragma once
#include "support/fix_record.h"

// Sentence type codes.
enum : int {
  NMEA_GSV = 0,
  NMEA_GGA = 3,
  NMEA_VTG = 4,
  NMEA_RMC = 5,
  NMEA_GSA = 6,
  NMEA_PGRMT = 7,
  NMEA_OTHER = -1,
};

constexpr int kMaxFields = 24;
constexpr int kFieldSize = 16;

int GetSentenceType(const char* sentence);
// Splits into the parser's field table; returns the number of fields.
int SplitFields(const char* sentence);
// True when field `index` of the last split breaks its rule (support/nmea_rules.h): the parsers
// take it as absent.
bool FieldBroken(int index);
// True when the field holds a value within its rule.
bool FieldGiven(int count, int index);
int FieldInt(int count, int index);
double FieldDouble(int count, int index);
float FieldFloat(int count, int index);
const char* FieldText(int count, int index);
double DdmmToDegrees(double v);

void ParseGGA(const char* sentence, FixRecord* fix);
// Returns 1 when the sentence gave a position (status A and a valid latitude and longitude).
int ParseRMC(const char* sentence, FixRecord* fix);
void ParseVTG(const char* sentence, FixRecord* fix);
void ParseGSA(const char* sentence, FixRecord* fix);
void ParseGSV(const char* sentence, FixRecord* fix);
void ParseNmeaSentence(const char* sentence, FixRecord* fix);
