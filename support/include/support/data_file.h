// Opening a data file in the "\Quorvale" folder of a storage card.
#pragma once
#include <cstdio>
#include "platform/types.h"

// Tries the storage profiles INAND, moviNAND and SDMemory in turn; the full platform path of
// the file is copied into `path` (MAX_PATH units). Returns the stream, or null with `path` empty.
FILE* OpenDataFile(WCHAR* path, const char* fileName, BOOL forReading);
// The same with an fopen mode ("r+b", "ab", ...).
FILE* OpenDataFileMode(WCHAR* path, const char* fileName, const char* mode);
