// Flat files of fixed-size records kept sorted by key: a table of open files, record and block
// transfers, binary search, sorted insertion, truncation, removal and listing. Every rewrite that
// moves records goes through a temporary file that replaces the old one in one step, so a crash
// leaves the old file or the new one, never a half-moved one.
#pragma once
#include "platform/platform.h"

constexpr int kRecordFiles = 30;
constexpr int kRecordPathChars = 259;
// Records a file may hold: insertion refuses beyond this.
constexpr DWORD kRecordFileLimit = 65533;
// Search outcomes and slot numbers.
constexpr WORD kRecordMissing = 0xFFFE;
constexpr WORD kRecordFailed = 0xFFFF;
// Open mode of the cell database (read and write, shared).
constexpr int kRecordModeReadWrite = 66;

typedef int (*RecordCompare)(const void* a, const void* b);

// Opens (creating when missing) the file at the platform path; its index 0..29, or -1.
int RecOpen(const char* path, int mode);
// Closes the file (an empty one is deleted); 0, or -1 when the close failed.
int RecClose(int index);
// The path of an open file ("" when the index is not open).
const char* RecPath(int index);
// The file's size in bytes.
DWORD RecSize(int index);
// Whole records in the file.
DWORD RecCount(int index, DWORD recordSize);
// Record transfers: 0 on success, else the platform error (or -1 for a bad index or seek).
LONG RecRead(int index, void* record, DWORD recordSize, DWORD number);
LONG RecWrite(int index, const void* record, DWORD recordSize, DWORD number);
// A block read at a byte offset; `done` (may be null) gets the bytes moved.
LONG RecReadBlock(int index, DWORD offset, void* buffer, DWORD count, DWORD* done);
// Binary search for `key` (the found record is copied over it). Returns the record number (found)
// or the insertion position (not found); `outcome` gets 0, kRecordMissing or kRecordFailed.
DWORD RecSearch(int index, void* key, DWORD recordSize, RecordCompare compare, WORD* outcome);
// Sorted insertion; an equal key is overwritten. 0 on success.
LONG RecAdd(int index, const void* record, DWORD recordSize, RecordCompare compare);
// Cuts the file at a byte offset. 0 on success.
LONG RecTruncate(int index, DWORD offset);
// Replaces the whole content of an open file with `count` records, through a temporary file.
LONG RecReplace(int index, const void* records, DWORD count, DWORD recordSize);
// Removes a file: 0 when gone (or never there), 1 when it was open here and has been emptied.
int RecRemove(const char* path);

// A listing: names folded to lower case, sorted by bytes.
struct FileNode {
  FileNode* next;
  char name[MAX_PATH + 1];
};
// Files matching the platform pattern (hidden, system and folders skipped); null when none.
FileNode* RecList(const char* pattern);
void RecFreeList(FileNode* list);

// The log line of a failure: "<operation> <path>, <system text>" when `error` is not 0.
LONG RecLogError(const char* operation, const char* path, DWORD error);
