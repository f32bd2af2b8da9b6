// Numbers typed into the pages: digits only (an optional sign where a field takes negatives),
// within the field's range. A field that does not read keeps its setting and says why.
#pragma once
#include "page_model.h"
#include "platform/types.h"

// 1 and the value when `text` is an unsigned number within low..high (blanks around allowed).
int ParseUnsignedText(const char* text, DWORD low, DWORD high, DWORD* value);
int ParseSignedText(const char* text, LONG low, LONG high, LONG* value);

// Reads the field `id` into `*setting` or marks it invalid, leaving `*setting` as it was.
void ReadUnsignedField(const PageLayout& page, PageState* state, WORD id, DWORD low, DWORD high, DWORD* setting);
void ReadSignedField(const PageLayout& page, PageState* state, WORD id, LONG low, LONG high, LONG* setting);
// A setting kept in tenths: the field shows tenths; `low`/`high` are tenths.
void ReadTenthsField(const PageLayout& page, PageState* state, WORD id, DWORD low, DWORD high, double* setting);
void ShowTenthsField(const PageLayout& page, PageState* state, WORD id, double setting);
