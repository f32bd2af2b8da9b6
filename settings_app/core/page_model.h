// A settings page as a table of controls and their present values, apart from any widget: the
// program's dialogs are built from the table, and the tests drive a page through it.
#pragma once
#include <cstddef>
#include <string>
#include "platform/types.h"

enum ControlKind : BYTE {
  CONTROL_HEADING,   // a heading line, no value
  CONTROL_EDIT,      // a text field
  CONTROL_CHECK,     // a check box
  CONTROL_TRISTATE,  // a three-state check box whose text the page sets (0, 1, 2 indeterminate)
  CONTROL_RADIO,     // one of a radio group (consecutive radios form one group)
  CONTROL_BUTTON,    // a push button whose text the page may change
  CONTROL_VALUE,     // a read-only value
};

struct PageControl {
  WORD id;           // the control's id; 0 for headings
  BYTE kind;
  BYTE maxLength;    // edits: characters the field takes
  const char* label;
  const char* hint;  // shown beside the field: unit and range
  const char* row;   // controls with the same row label share one line under it
};

struct PageLayout {
  const char* title;
  int count;
  const PageControl* controls;
  int designedWidth;
  int designedHeight;
};

constexpr int kMaxPageControls = 64;
constexpr int kControlTextSize = 64;

struct PageState {
  char text[kMaxPageControls][kControlTextSize];
  BYTE check[kMaxPageControls];
  BYTE invalid[kMaxPageControls];  // the field did not read back: its setting kept the old value
  char message[256];               // the page's message to the user, empty when none
};

// The control's position in the layout, -1 when the page has no such control.
int ControlIndex(const PageLayout& page, WORD id);
void ClearPageState(PageState* state);
void SetControlText(const PageLayout& page, PageState* state, WORD id, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
const char* ControlText(const PageLayout& page, const PageState& state, WORD id);
void SetControlCheck(const PageLayout& page, PageState* state, WORD id, int check);
int ControlChecked(const PageLayout& page, const PageState& state, WORD id);
// The name a person reads for control `i`: its label, with its group's heading before it when the
// page has another control of the same label.
std::string FieldName(const PageLayout& page, int i);
// Marks a field that did not read back and adds its name to the page's message.
void MarkInvalid(const PageLayout& page, PageState* state, WORD id, const char* why);
int PageHasInvalid(const PageState& state);
// After a refused save the page shows what the user typed in every field, the refused ones marked
// (their settings keep the old values): `refilled` (filled from the unchanged records) takes the
// fields from `typed`.
void KeepTypedValues(const PageState& typed, PageState* refilled);
