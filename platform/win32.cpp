// Win32 implementation of the platform operations. Only Win32 calls and the
// mapping of their errors belong here: nothing about components, messages or
// the order of the update's steps. Each routine behaves as its POSIX
// counterpart does, so that one set of expectations holds for both.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

#include "platform.h"

namespace platform {
namespace {

// A virus scanner or indexer opens a file that has just been written or
// renamed, and holds it for a moment; a delete or rename meeting such a file
// tries this many times, this far apart, before it reports failure.
constexpr int BUSY_RETRY_TRIES = 10;
constexpr DWORD BUSY_RETRY_PAUSE_MS = 100;
// Polling interval while another run holds the folder lock.
constexpr DWORD LOCK_POLL_PAUSE_MS = 100;
// A lock file opened with FILE_FLAG_DELETE_ON_CLOSE is "delete pending" for
// a moment after its holder closes it, and opening it then is denied. In a
// folder this user may not write to, access stays denied; so after this many
// tries (about five seconds) the run goes on without the lock.
constexpr int LOCK_DENIED_TRIES = 50;

// 100-nanosecond intervals between 1601-01-01 (FILETIME) and 1970-01-01.
constexpr ULONGLONG FILETIME_UNIX_EPOCH = 116'444'736'000'000'000ULL;
constexpr ULONGLONG FILETIME_TICKS_PER_SECOND = 10'000'000ULL;

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

// A name field's name as a zero-terminated path: up to the first space or
// the end of the field. The ANSI calls take at most MAX_PATH characters, the
// zero included; the buffer leaves room for the temporary's suffix within
// that limit. A folder part (separator or drive colon) is refused: every
// name is a bare name in the current directory.
struct Path {
  char text[MAX_PATH];
  bool ok;
};

Path NAME_OF(std::string_view field, std::string_view suffix = {}) {
  Path path{};
  const std::size_t end = field.find(' ');
  const std::string_view name = field.substr(0, end);
  path.ok = !name.empty() && name.size() + suffix.size() < sizeof path.text &&
            name.find_first_of(std::string_view("\0\\/:", 4)) ==
                std::string_view::npos;
  if (!path.ok) return path;
  std::memcpy(path.text, name.data(), name.size());
  std::memcpy(path.text + name.size(), suffix.data(), suffix.size());
  path.text[name.size() + suffix.size()] = '\0';
  return path;
}

// GetLastError as a status; a call that failed without saying why still
// fails.
int32_t LAST_ERROR() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? static_cast<int32_t>(error)
                                : static_cast<int32_t>(ERROR_GEN_FAILURE);
}

// A plain file: not a folder, and not a reparse point (symbolic link,
// junction, cloud placeholder) that would lead the call elsewhere.
bool IS_REGULAR(DWORD attributes) {
  return (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Errors that another process's brief hold on the file causes.
bool IS_TRANSIENT(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

// ERROR_ACCESS_DENIED is also what deleting or replacing a read-only file or
// a folder gives, and no wait changes either; such a call fails at once.
bool DENIED_FOR_GOOD(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) !=
             0;
}

// Runs `call` (a Win32 call returning BOOL) until it succeeds, fails for
// good, or stays busy for all tries. `for_good` tells a transient-looking
// error that cannot pass. Returns 0 or the last error.
template <typename Call, typename ForGood>
int32_t WITH_BUSY_RETRY(Call call, ForGood for_good) {
  for (int attempt = 1;; ++attempt) {
    if (call()) return 0;
    const int32_t status = LAST_ERROR();
    const auto error = static_cast<DWORD>(status);
    if (!IS_TRANSIENT(error) || for_good(error) || attempt == BUSY_RETRY_TRIES)
      return status;
    Sleep(BUSY_RETRY_PAUSE_MS);
  }
}

template <typename Call>
int32_t WITH_BUSY_RETRY(Call call) {
  return WITH_BUSY_RETRY(call, [](DWORD) { return false; });
}

// Writes the temporary's data through any cache (including a file server's)
// to disk, so that the rename never exposes a partial file after a crash.
// FlushFileBuffers needs write access, which a read-only attribute copied
// from the source denies; the attribute is lifted from our own temporary for
// the flush and put back.
int32_t FLUSH_TO_DISK(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LAST_ERROR();
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only &&
      !SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY))
    return LAST_ERROR();
  const HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  int32_t status = 0;
  if (file == INVALID_HANDLE_VALUE) {
    status = LAST_ERROR();
  } else {
    if (!FlushFileBuffers(file)) status = LAST_ERROR();
    if (!CloseHandle(file) && status == 0) status = LAST_ERROR();
  }
  if (read_only && !SetFileAttributesA(path, attributes) && status == 0)
    status = LAST_ERROR();
  return status;
}

HANDLE LOCK_HANDLE = INVALID_HANDLE_VALUE;

}  // namespace

int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details) {
  const Path path = NAME_OF(name);
  if (!path.ok) return ERROR_FILE_NOT_FOUND;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.text, GetFileExInfoStandard, &data))
    return LAST_ERROR();
  if (!IS_REGULAR(data.dwFileAttributes)) return ERROR_FILE_NOT_FOUND;
  const int64_t size = static_cast<int64_t>(
      ULONGLONG{data.nFileSizeHigh} << 32 | data.nFileSizeLow);
  const ULONGLONG ticks = ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32 |
                          data.ftLastWriteTime.dwLowDateTime;
  const int64_t modified = (static_cast<int64_t>(ticks) -
                            static_cast<int64_t>(FILETIME_UNIX_EPOCH)) /
                           static_cast<int64_t>(FILETIME_TICKS_PER_SECOND);
  std::memcpy(details.data(), &size, sizeof size);
  std::memcpy(details.data() + sizeof size, &modified, sizeof modified);
  return 0;
}

int32_t CBL_DELETE_FILE(std::string_view name) {
  const Path path = NAME_OF(name);
  if (!path.ok) return ERROR_INVALID_NAME;
  // DeleteFileA never removes a folder. The read-only attribute is left as
  // it is: a file someone made read-only is not ours to delete.
  const int32_t status = WITH_BUSY_RETRY(
      [&] { return DeleteFileA(path.text); },
      [&](DWORD error) {
        return error == ERROR_ACCESS_DENIED && DENIED_FOR_GOOD(path.text);
      });
  const auto error = static_cast<DWORD>(status);
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
             ? 0
             : status;
}

int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_OF(source);
  const Path to = NAME_OF(target);
  if (!from.ok || !to.ok) return ERROR_INVALID_NAME;
  // No MOVEFILE_REPLACE_EXISTING: an existing target fails the rename
  // (ERROR_ALREADY_EXISTS) instead of being lost.
  return WITH_BUSY_RETRY([&] { return MoveFileExA(from.text, to.text, 0); });
}

int32_t CBL_COPY_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_OF(source);
  const Path to = NAME_OF(target);
  const Path temporary = NAME_OF(target, TEMPORARY_SUFFIX);
  if (!from.ok || !to.ok || !temporary.ok) return ERROR_INVALID_NAME;

  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(from.text, GetFileExInfoStandard, &data))
    return LAST_ERROR();
  // A folder or a link is no delivery; nothing is copied.
  if (!IS_REGULAR(data.dwFileAttributes)) return ERROR_INVALID_PARAMETER;

  // A temporary left by a run that was killed mid-copy is ours to replace.
  // Deleting it first, and then letting the copy create the file only if it
  // is new (bFailIfExists TRUE), means a link planted under that name is
  // removed rather than written through.
  DeleteFileA(temporary.text);  // absence is the usual case
  // CopyFileA rather than reading and writing here: on a file server the
  // server copies the data itself, and the copy keeps the delivered file's
  // attributes and time stamps.
  int32_t status = 0;
  if (!CopyFileA(from.text, temporary.text, TRUE)) {
    status = LAST_ERROR();
  } else {
    status = FLUSH_TO_DISK(temporary.text);
    // WRITE_THROUGH: the call returns once the rename is on disk too.
    // A read-only target is not replaced: that, too, fails at once.
    if (status == 0)
      status = WITH_BUSY_RETRY(
          [&] {
            return MoveFileExA(
                temporary.text, to.text,
                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
          },
          [&](DWORD error) {
            return error == ERROR_ACCESS_DENIED && DENIED_FOR_GOOD(to.text);
          });
  }
  // Best effort: a temporary that stays behind is overwritten by the next
  // copy, and the copy has failed either way.
  if (status != 0) DeleteFileA(temporary.text);
  return status;
}

void GET_STAMP(std::span<char, 8> stamp) {
  constexpr char DIGITS[] = "0123456789ABCDEF";
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG ticks =
      ULONGLONG{now.dwHighDateTime} << 32 | now.dwLowDateTime;
  auto seconds = static_cast<uint32_t>((ticks - FILETIME_UNIX_EPOCH) /
                                       FILETIME_TICKS_PER_SECOND);
  for (std::size_t i = stamp.size(); i-- > 0; seconds >>= 4)
    stamp[i] = DIGITS[seconds & 0xF];
}

int32_t cob32api() { return 0; }

int32_t MessageBoxA(void* owner, const char* text, const char* caption,
                    uint32_t style) {
  return ::MessageBoxA(static_cast<HWND>(owner), text, caption, style);
}

int32_t ACQUIRE_FOLDER_LOCK(std::string_view name) {
  const Path path = NAME_OF(name);
  if (!path.ok) return ERROR_INVALID_NAME;
  int denied = 0;
  for (;;) {
    // No sharing: while one run has the file open, every other run's open
    // fails with a sharing violation. DELETE_ON_CLOSE: the system removes
    // the file when the handle goes, even when the process is killed.
    const HANDLE file = CreateFileA(
        path.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      LOCK_HANDLE = file;
      return 0;
    }
    const int32_t status = LAST_ERROR();
    const auto error = static_cast<DWORD>(status);
    if (error == ERROR_SHARING_VIOLATION) {
      Sleep(LOCK_POLL_PAUSE_MS);  // another run holds the folder
      continue;
    }
    if (error == ERROR_ACCESS_DENIED && ++denied < LOCK_DENIED_TRIES) {
      Sleep(LOCK_POLL_PAUSE_MS);  // the last holder's file is going away
      continue;
    }
    return status;
  }
}

void RELEASE_FOLDER_LOCK() {
  if (LOCK_HANDLE == INVALID_HANDLE_VALUE) return;
  // Closing the only handle deletes the file (FILE_FLAG_DELETE_ON_CLOSE); a
  // failed close leaves it to the system at process end.
  CloseHandle(LOCK_HANDLE);
  LOCK_HANDLE = INVALID_HANDLE_VALUE;
}

}  // namespace platform
