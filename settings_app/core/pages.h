// The settings pages: each has a control table, fills its controls from the settings records,
// and on "Save" reads them back and applies them. A field that does not read keeps its setting,
// is marked, and the page stays open (the save returns 0).
#pragma once
#include "page_model.h"

enum PageCommand : WORD { COMMAND_SAVE = 1, COMMAND_UNDO = 2 };
enum PageMenuCommand : WORD {
  MENU_SYSTEM = 201,
  MENU_PROFILE1 = 205,
  MENU_PROFILE2 = 206,
  MENU_COMPASS = 207,
  MENU_PORTS = 208,
  MENU_EXTRAS = 209,
};

extern const PageLayout kSystemPage;
void FillSystemPage(PageState* state);
int SaveSystemPage(PageState* state);

extern const PageLayout kProfilePage;
// The profile page shows profile `n` (1 or 2); it loads that profile into the records.
void FillProfilePage(DWORD n, PageState* state);
int SaveProfilePage(DWORD n, PageState* state);
// "Undo": the records go back to the current profile, so that a later save of another page
// writes the current profile and not the one this page showed.
void UndoProfilePage();
// "Set to Defaults" (control 1029).
void ProfileDefaults(DWORD n, PageState* state);
constexpr int kProfileNameLength = 15;  // what a stored name may hold and still be read back

extern const PageLayout kPortsPage;
void FillPortsPage(PageState* state);
int SavePortsPage(PageState* state);

// The application's name of profile `n` in UTF-8.
const char* ProfileName(DWORD n, char* out, int size);

extern const PageLayout kExtrasPage;
#define KILL_QUESTION_CAPTION "Are You Sure"
#define KILL_SERVICE_QUESTION \
  "This action can not be un-done without installing the CAB again\nRemove Cell Tower Location Service\n"
#define KILL_TABLE_QUESTION \
  "This action can not be un-done without installing the CAB again\nRemove Altitude Correction\n"
// Fills the page; `status` is the cell service's status word, asked by the caller.
void FillExtrasPage(PageState* state, DWORD status);
// The status box and the Stop/Start button from a status word.
void ShowCellStatus(PageState* state, DWORD status);
int SaveExtrasPage(PageState* state);
// The two halves of SaveExtrasPage: the settings stored (0 when a field is refused), then the cell
// service started or stopped as they say (a call that can wait for the service's data).
int SaveExtrasSettings(PageState* state);
void ApplyCellServiceSetting();

extern const PageLayout kCompassPage;
#define CALIBRATE_TEXT "Calibrate"
#define ABORT_TEXT "Abort"
// Fills the fields and keeps the present offsets for "Undo".
void FillCompassPage(PageState* state);
int SaveCompassPage(PageState* state);
// "Undo": the offsets kept when the page opened are saved into the current profile.
void UndoCompassPage();
// "Reset to Zero" (1040 portrait, 1041 landscape).
void ResetCompassOffset(WORD id, PageState* state);
// "Calibrate"/"Abort" (1042).
void ToggleCalibration(PageState* state);
// Shows the run's progress, the orientation radios, and takes a finished run's result.
void RefreshCompassPage(PageState* state);
// The help page's texts.
extern const char* const kCompassHelp[5];
