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
// True when the latitude and longitude at these fields (and their N/S, E/W) keep their rules.
bool PositionFieldsValid(int latIndex, int lonIndex);
// True when one of the four fields of the GSV satellite starting at `field` breaks its rule.
bool SatelliteFieldsBroken(int field);
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
// GSA's PDOP, HDOP and VDOP (fields 15-17) of the last split into the record, each one that keeps
// its rule marked valid.
void ReadGsaDops(int count, FixRecord* fix);
void ParseGSV(const char* sentence, FixRecord* fix);
void ParseNmeaSentence(const char* sentence, FixRecord* fix);
