// The system's message texts for the error codes the platform sets.
#include "platform/kernel.h"
#include "platform/wide.h"

namespace {

const struct {
  DWORD code;
  const char* text;
} kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
};

}  // namespace

DWORD FormatMessageW(DWORD flags, const void*, DWORD messageId, DWORD, LPWSTR buffer, DWORD size, void*) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (const auto& t : kTexts) {
    if (t.code != messageId) continue;
    DWORD n = 0;
    for (; t.text[n]; ++n) {
      if (n + 1 >= size) {
        buffer[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
      }
      buffer[n] = static_cast<WCHAR>(t.text[n]);
    }
    buffer[n] = 0;
    return n;
  }
  buffer[0] = 0;
  SetLastError(ERROR_NOT_SUPPORTED);  // no text for this code
  return 0;
}

std::string PlatformErrorText(DWORD code) {
  std::string number = "error " + std::to_string(code);
  for (const auto& t : kTexts) {
    if (t.code != code) continue;
    std::string text = t.text;
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text + " (" + number + ")";
  }
  return number;
}
