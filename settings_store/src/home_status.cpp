// The driver's status on the home screen tile that starts the settings program.
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/reg_helpers.h"

void PublishHomeStatus(const char* status) {
  HKEY key;
  DWORD profile = g_System.CurrentProfile;
  WCHAR name[16 + 1] = {};  // an unreadable name is published empty
  if (OpenKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"CurrentProfile", &profile);
    WCHAR valueName[] = u"Profile1Name";
    valueName[7] = static_cast<WCHAR>(u'0' + profile % 10);
    if (ReadValue(key, valueName, name, 32) != ERROR_SUCCESS) name[0] = 0;
    name[16] = 0;
    RegCloseKey(key);
  }
  if (OpenKey(HOME_PAGE_KEY, &key) != ERROR_SUCCESS) return;
  WCHAR link[130 + 1] = {};
  LONG err = ReadValue(key, u"ACTIONURL", link, 260);
  link[130] = 0;
  if (err != ERROR_SUCCESS || WideCompare(link, SETUP_LINK) != 0) {
    RegCloseKey(key);
    return;
  }
  WCHAR text[128];
  size_t n = WideCopy(text, 128, name);
  n += WideCopy(text + n, 128 - n, u" - ");
  Utf8ToWide(status ? status : "", text + n, 128 - n);
  WriteString(key, u"TEXT2", text);
  RegCloseKey(key);
  if (OpenKey(HOME_KEY, &key) == ERROR_SUCCESS) {
    DWORD updated = 0;
    ReadDword(key, u"Updated", &updated);
    WriteDword(key, u"Updated", updated == 0 ? 1 : 0);
    RegCloseKey(key);
  }
}
