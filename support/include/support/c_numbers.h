// Numbers in text the way files, the registry and peers expect them, whatever locale a program
// (a Qt one, for instance) has set: a point as the decimal separator.
#pragma once
#include <cstddef>

// snprintf of one double with the C locale's conventions.
int FormatCNumber(char* out, size_t size, const char* format, double value);
// strtod / strtof with the C locale's conventions; *end as strtod sets it.
double ParseCDouble(const char* text, char** end);
float ParseCFloat(const char* text, char** end);
