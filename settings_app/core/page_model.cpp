// Controls of a page looked up by id, with bounded texts.
#include "page_model.h"
#include <cstdarg>
#include <cstdio>
#include <cstring>

int ControlIndex(const PageLayout& page, WORD id) {
  for (int i = 0; i < page.count && i < kMaxPageControls; ++i)
    if (page.controls[i].id == id && id != 0) return i;
  return -1;
}

void ClearPageState(PageState* state) { memset(state, 0, sizeof *state); }

void SetControlText(const PageLayout& page, PageState* state, WORD id, const char* format, ...) {
  int i = ControlIndex(page, id);
  if (i < 0) return;
  va_list args;
  va_start(args, format);
  vsnprintf(state->text[i], kControlTextSize, format, args);
  va_end(args);
}

const char* ControlText(const PageLayout& page, const PageState& state, WORD id) {
  int i = ControlIndex(page, id);
  return i < 0 ? "" : state.text[i];
}

void SetControlCheck(const PageLayout& page, PageState* state, WORD id, int check) {
  int i = ControlIndex(page, id);
  if (i >= 0) state->check[i] = static_cast<BYTE>(check);
}

int ControlChecked(const PageLayout& page, const PageState& state, WORD id) {
  int i = ControlIndex(page, id);
  return i < 0 ? 0 : state.check[i];
}

// The heading of the group control `i` stands in, when the page has another control of the same
// label (two "Com Port" fields must be told apart in a message); "" otherwise.
static const char* GroupOf(const PageLayout& page, int i) {
  bool twice = false;
  for (int j = 0; j < page.count && j < kMaxPageControls; ++j)
    twice = twice || (j != i && page.controls[j].label && strcmp(page.controls[j].label, page.controls[i].label) == 0);
  if (!twice) return "";
  for (int j = i - 1; j >= 0; --j)
    if (page.controls[j].kind == CONTROL_HEADING) return page.controls[j].label;
  return "";
}

std::string FieldName(const PageLayout& page, int i) {
  if (i < 0 || i >= page.count || !page.controls[i].label) return "";
  const char* group = GroupOf(page, i);
  return *group ? std::string(group) + " " + page.controls[i].label : std::string(page.controls[i].label);
}

void MarkInvalid(const PageLayout& page, PageState* state, WORD id, const char* why) {
  int i = ControlIndex(page, id);
  if (i < 0) return;
  state->invalid[i] = 1;
  size_t used = strlen(state->message);
  if (used + 1 < sizeof state->message)
    snprintf(state->message + used, sizeof state->message - used, "%s%s: %s", used ? "\n" : "",
             FieldName(page, i).c_str(), why);
}

int PageHasInvalid(const PageState& state) {
  for (BYTE b : state.invalid)
    if (b) return 1;
  return 0;
}

void KeepTypedValues(const PageState& typed, PageState* refilled) {
  for (int i = 0; i < kMaxPageControls; ++i) {
    memcpy(refilled->text[i], typed.text[i], kControlTextSize);
    refilled->check[i] = typed.check[i];
  }
  memcpy(refilled->invalid, typed.invalid, sizeof refilled->invalid);
  memcpy(refilled->message, typed.message, sizeof refilled->message);
}
