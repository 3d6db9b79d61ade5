// The wrappers of reply_lost.h: each call that changes a name (MoveFileExW,
// and SetFileInformationByHandle with FileRenameInfo, FileDispositionInfo or
// FileDispositionInfoEx) is made as asked. TALVEN_REPLY_LOST ("MoveFileExW:2",
// the second MoveFileExW) names one that, when it succeeds, reports
// ERROR_UNEXP_NET_ERR all the same, as a file server that carried the
// request out and then lost the connection. TALVEN_CALL_LOG names a file
// that gets one line per call: its name, its count and "ok" or "failed".

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr auto FILE_DISPOSITION_INFO_EX_CLASS =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Logs the call and tells whether its reply is to be lost.
bool Lost(const char* name, BOOL done) {
  static char names[8][32];
  static int counts[8];
  int i = 0;
  while (i < 7 && names[i][0] != '\0' && std::strcmp(names[i], name) != 0) ++i;
  std::snprintf(names[i], sizeof names[i], "%s", name);
  const int nth = ++counts[i];

  char path[MAX_PATH];
  if (GetEnvironmentVariableA("TALVEN_CALL_LOG", path, sizeof path) > 0) {
    const HANDLE log =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
      char line[64];
      const int length = std::snprintf(line, sizeof line, "%s %d %s\n", name,
                                       nth, done ? "ok" : "failed");
      DWORD written = 0;
      WriteFile(log, line, static_cast<DWORD>(length), &written, nullptr);
      CloseHandle(log);  // a test's log: nothing to lose
    }
  }
  char wanted[64], chosen[64];
  std::snprintf(chosen, sizeof chosen, "%s:%d", name, nth);
  return done &&
         GetEnvironmentVariableA("TALVEN_REPLY_LOST", wanted, sizeof wanted) >
             0 &&
         std::strcmp(wanted, chosen) == 0;
}

BOOL Reply(const char* name, BOOL done) {
  // The call's own error, which the log's calls would overwrite.
  const DWORD error = GetLastError();
  const bool lost = Lost(name, done);
  SetLastError(error);
  if (!lost) return done;
  SetLastError(ERROR_UNEXP_NET_ERR);
  return FALSE;
}

}  // namespace

BOOL WINAPI TALVEN_TEST_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  return Reply("MoveFileExW", MoveFileExW(from, to, flags));
}

BOOL WINAPI TALVEN_TEST_SetFileInformationByHandle(
    HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
    DWORD size) {
  const BOOL done = SetFileInformationByHandle(file, kind, information, size);
  switch (kind) {
    case FileRenameInfo:
      return Reply("FileRenameInfo", done);
    case FileDispositionInfo:
      return Reply("FileDispositionInfo", done);
    default:
      if (kind == FILE_DISPOSITION_INFO_EX_CLASS)
        return Reply("FileDispositionInfoEx", done);
      return done;  // changes no name
  }
}
