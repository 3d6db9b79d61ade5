// Win32 implementation of the platform operations. Only Win32 calls and the
// mapping of their errors belong here: nothing about components, messages or
// the order of the update's steps. Each routine behaves as its POSIX
// counterpart does, so that one set of expectations holds for both; where
// Windows' share modes allow more, platform.h says so.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "platform.h"

namespace platform {
namespace {

// A virus scanner or indexer opens a file that has just been written or
// renamed, and holds it for a moment; every open, delete and rename meeting
// such a file tries this many times, this far apart, before it reports
// failure.
constexpr int BUSY_RETRY_TRIES = 10;
constexpr DWORD BUSY_RETRY_PAUSE_MS = 100;
// Polling interval while another run holds the folder lock.
constexpr DWORD LOCK_POLL_PAUSE_MS = 100;

// 100-nanosecond intervals between 1601-01-01 (FILETIME) and 1970-01-01.
constexpr ULONGLONG FILETIME_UNIX_EPOCH = 116'444'736'000'000'000ULL;
constexpr ULONGLONG FILETIME_TICKS_PER_SECOND = 10'000'000ULL;

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

// The longest path the wide calls take with the "\\?\" prefix, in UTF-16
// units, the zero included.
constexpr DWORD LONG_PATH_CAPACITY = 32'768;

// A name field's name joined to the current directory, as one zero-terminated
// long path ("\\?\C:\folder\name", "\\?\UNC\server\share\folder\name"). The
// ANSI calls would stop at MAX_PATH, and a folder deep on a file server
// leaves too little room for the longer library names; with the prefix the
// whole path may be as long as Windows allows. Kept in static storage by
// its users: one path is 64 KiB.
struct Path {
  wchar_t text[LONG_PATH_CAPACITY];
};

bool APPEND(Path& path, std::size_t& length, const wchar_t* text,
            std::size_t count) {
  if (length + count >= LONG_PATH_CAPACITY) return false;
  std::wmemcpy(path.text + length, text, count);
  length += count;
  path.text[length] = L'\0';
  return true;
}

// Appends the absolute path `full` in long-path form: "\\server\share"
// becomes "\\?\UNC\server\share", "C:\x" "\\?\C:\x"; a prefixed path stays.
bool APPEND_LONG_FORM(Path& path, std::size_t& length, const wchar_t* full) {
  const bool prefixed = std::wcsncmp(full, L"\\\\?\\", 4) == 0;
  const bool unc = !prefixed && std::wcsncmp(full, L"\\\\", 2) == 0;
  const wchar_t* const prefix = unc        ? L"\\\\?\\UNC\\"
                                : prefixed ? L""
                                           : L"\\\\?\\";
  const wchar_t* const rest = unc ? full + 2 : full;
  return APPEND(path, length, prefix, std::wcslen(prefix)) &&
         APPEND(path, length, rest, std::wcslen(rest));
}

// The current directory in long-path form, with a trailing separator.
bool CURRENT_FOLDER(Path& path, std::size_t& length) {
  static wchar_t folder[LONG_PATH_CAPACITY];
  const DWORD size = GetCurrentDirectoryW(LONG_PATH_CAPACITY, folder);
  if (size == 0) return false;
  if (size >= LONG_PATH_CAPACITY) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  bool fits = APPEND_LONG_FORM(path, length, folder);
  if (fits && path.text[length - 1] != L'\\')
    fits = APPEND(path, length, L"\\", 1);
  if (!fits) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return fits;
}

// Makes `path` of a name field's name (and `suffix`). Returns 0, or why the
// path could not be made: ERROR_INVALID_NAME for a name that is empty or
// holds a folder part, another error when the current directory cannot be
// read.
DWORD NAME_OF(Path& path, std::string_view field,
              std::string_view suffix = {}) {
  const std::size_t end = field.find(' ');
  const std::string_view name = field.substr(0, end);
  if (name.empty() || name.size() + suffix.size() > MAX_PATH ||
      name.find_first_of(std::string_view("\0\\/:", 4)) !=
          std::string_view::npos)
    return ERROR_INVALID_NAME;
  std::size_t length = 0;
  if (!CURRENT_FOLDER(path, length))
    return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
  // The names are single-byte text in the ANSI code page, as the ANSI calls
  // would have taken them.
  char whole[MAX_PATH + 1];
  std::memcpy(whole, name.data(), name.size());
  std::memcpy(whole + name.size(), suffix.data(), suffix.size());
  const int size = static_cast<int>(name.size() + suffix.size());
  wchar_t wide[MAX_PATH + 1];
  const int converted = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, whole,
                                            size, wide, MAX_PATH + 1);
  if (converted <= 0) return ERROR_INVALID_NAME;
  if (!APPEND(path, length, wide, static_cast<std::size_t>(converted)))
    return ERROR_FILENAME_EXCED_RANGE;
  return 0;
}

// GetLastError as a status; a call that failed without saying why still
// fails.
int32_t LAST_ERROR() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? static_cast<int32_t>(error)
                                : static_cast<int32_t>(ERROR_GEN_FAILURE);
}

// Nothing stands under the name: the one failure of a look-up that says a
// file is certainly not there.
bool IS_ABSENT(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A plain file: not a folder, and not a reparse point that leads elsewhere
// (a symbolic link, junction or mount point planted in the folder would make
// the call work on another file). A deduplicated, compressed, tiered or cloud
// file is a reparse point too, and a plain file all the same.
bool IS_PLAIN(DWORD attributes, DWORD reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
          !REPARSE_TAG_LEADS_ELSEWHERE(reparse_tag));
}
// The same for the file at `path`, whose attributes the caller has: a
// reparse point's tag is read from the folder's listing, which opens
// nothing; a tag that cannot be read counts as a link, so nothing is ever
// followed.
bool IS_PLAIN_FILE(const wchar_t* path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return IS_PLAIN(attributes, 0);
  WIN32_FIND_DATAW found;
  const HANDLE listing = FindFirstFileExW(path, FindExInfoBasic, &found,
                                          FindExSearchNameMatch, nullptr, 0);
  if (listing == INVALID_HANDLE_VALUE) return false;
  FindClose(listing);  // a search handle: nothing to lose
  return IS_PLAIN(found.dwFileAttributes, found.dwReserved0);
}

// Errors that another process's brief hold on the file causes.
bool IS_TRANSIENT(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

// ERROR_ACCESS_DENIED is also what deleting or replacing a read-only file or
// a folder gives, and no wait changes either; such a call fails at once.
bool DENIED_FOR_GOOD(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) !=
             0;
}

// Runs `call` (returning true on success, else with GetLastError set) until
// it succeeds, fails for good, or stays busy for all tries. Only access
// denied on a read-only file or a folder counts as for good among the
// transient errors. Returns 0 or the last error.
template <typename Call>
int32_t WITH_BUSY_RETRY(const wchar_t* path, Call call) {
  for (int attempt = 1;; ++attempt) {
    if (call()) return 0;
    const int32_t status = LAST_ERROR();
    const auto error = static_cast<DWORD>(status);
    if (!IS_TRANSIENT(error) || attempt == BUSY_RETRY_TRIES ||
        (error == ERROR_ACCESS_DENIED && DENIED_FOR_GOOD(path)))
      return status;
    Sleep(BUSY_RETRY_PAUSE_MS);
  }
}

// Opens the plain file at `path` for reading with read sharing only, as
// itself (OPEN_REPARSE_POINT: a link is opened, and refused, never
// followed), retried while another process holds it; everything after works
// on this one handle. A folder, a link or a sparse file fails
// (ERROR_INVALID_PARAMETER); `info` receives what the handle says.
HANDLE OPEN_PLAIN_FOR_READING(const wchar_t* path, int32_t& status,
                              BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE file = INVALID_HANDLE_VALUE;
  status = WITH_BUSY_RETRY(path, [&] {
    file = CreateFileW(
        path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return file != INVALID_HANDLE_VALUE;
  });
  if (file == INVALID_HANDLE_VALUE) return file;
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandle(file, &info) ||
      !GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag,
                                    sizeof tag))
    status = LAST_ERROR();
  // A sparse file would be written out in full, at the folder's cost.
  else if (!IS_PLAIN(tag.FileAttributes, tag.ReparseTag) ||
           (tag.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0)
    status = ERROR_INVALID_PARAMETER;
  if (status == 0) return file;
  CloseHandle(file);  // opened for reading only: nothing to lose
  return INVALID_HANDLE_VALUE;
}

// Which file an open handle is: its volume and file index; unknown where
// the file system gives no index (some servers give zero).
struct Identity {
  DWORD volume = 0;
  ULONGLONG index = 0;
  bool known = false;
  bool operator==(const Identity&) const = default;
};
Identity IDENTITY_OF(const BY_HANDLE_FILE_INFORMATION& info) {
  const ULONGLONG index =
      ULONGLONG{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  if (index == 0) return {};
  return {info.dwVolumeSerialNumber, index, true};
}
// The file under `path`, opened as itself without access (which disturbs
// no holder and needs no sharing).
Identity IDENTITY_AT(const wchar_t* path) {
  const HANDLE file = CreateFileW(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
      nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION info;
  const bool read = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);  // opened without access: nothing to lose
  return read ? IDENTITY_OF(info) : Identity{};
}

bool NOTHING_AT(const wchar_t* path) {
  return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
         IS_ABSENT(GetLastError());
}

// `status` of a change of a name, looked at again when it reports failure:
// a file server may carry out a request and lose its reply (a dropped
// connection, a timeout), and the change then stands. A delete is done when
// nothing stands under `gone`. A rename is done when nothing does and
// `stands` holds the file `moved`, which stood under `gone` before; or, for
// a rename that never replaces (`moved` unknown), when `stands` was free
// before it (`stands_was_free`) and holds a file now.
int32_t LOOKED_AGAIN(int32_t status, const wchar_t* gone,
                     const wchar_t* stands = nullptr, Identity moved = {},
                     bool stands_was_free = false) {
  if (status == 0 || !NOTHING_AT(gone)) return status;
  if (stands == nullptr) return 0;
  if (moved.known) return IDENTITY_AT(stands) == moved ? 0 : status;
  return stands_was_free && !NOTHING_AT(stands) ? 0 : status;
}

// FileDispositionInfoEx and its flags. MinGW's headers declare them only
// for newer targets than this program's, so the documented values stand
// here.
constexpr auto FILE_DISPOSITION_INFO_EX_CLASS =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
struct DispositionEx {
  DWORD flags;
};

// Opens `path` for deleting it and nothing else, sharing nothing: fails while
// any other process has the file open for its data, in any share mode.
// OPEN_REPARSE_POINT: a link is the file opened, not what it points to. A
// folder cannot be opened this way.
HANDLE OPEN_FOR_DELETE(const wchar_t* path) {
  return CreateFileW(path, DELETE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// Marks the open file for deletion when its last handle closes.
bool MARK_FOR_DELETION(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

// Renames the open file to `name`, a bare name in the same folder; never
// over an existing file.
bool RENAME_OPEN_FILE(HANDLE file, const wchar_t* name) {
  const std::size_t length = std::wcslen(name);
  if (length > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  union {
    FILE_RENAME_INFO info;
    unsigned char
        bytes[sizeof(FILE_RENAME_INFO) + (MAX_PATH + 1) * sizeof(wchar_t)];
  } rename{};
  rename.info.ReplaceIfExists = FALSE;
  rename.info.RootDirectory = nullptr;
  rename.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
  std::wmemcpy(rename.info.FileName, name, length);
  return SetFileInformationByHandle(file, FileRenameInfo, &rename,
                                    sizeof rename) != FALSE;
}

constexpr std::wstring_view ASIDE_SUFFIX = L".deleted";
constexpr std::size_t ASIDE_DIGITS = 8;

// `name` followed by ".<8 hex digits>.deleted": a name that no run looks at.
// The digits mix the high-resolution counter with this process's id and a
// count, so that two runs on two machines of one share (whose process ids
// may well be equal) do not meet; a name taken all the same fails the
// rename, which never replaces, and the caller tries another. False when it
// would be too long.
bool ASIDE_NAME(const wchar_t* name, wchar_t (&aside)[MAX_PATH + 1]) {
  static DWORD count = 0;
  std::size_t length = std::wcslen(name);
  if (length + 1 + ASIDE_DIGITS + ASIDE_SUFFIX.size() > MAX_PATH) return false;
  std::wmemcpy(aside, name, length);
  aside[length++] = L'.';
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);  // cannot fail since Windows XP
  DWORD mark = static_cast<DWORD>(counter.QuadPart) ^
               static_cast<DWORD>(counter.QuadPart >> 32) ^
               GetCurrentProcessId() << 16 ^ ++count * 0x9E3779B9u;
  for (std::size_t digit = ASIDE_DIGITS; digit-- > 0; mark >>= 4)
    aside[length + digit] = L"0123456789ABCDEF"[mark & 0xF];
  length += ASIDE_DIGITS;
  std::wmemcpy(aside + length, ASIDE_SUFFIX.data(), ASIDE_SUFFIX.size());
  aside[length + ASIDE_SUFFIX.size()] = L'\0';
  return true;
}

// Renames the open file aside under a fresh ASIDE_NAME, trying another
// name while one is taken. `made` tells whether a name could be made.
bool RENAME_ASIDE(HANDLE file, const wchar_t* name,
                  wchar_t (&aside)[MAX_PATH + 1], bool& made) {
  constexpr int NAME_TRIES = 4;
  for (int attempt = 0; attempt < NAME_TRIES; ++attempt) {
    made = ASIDE_NAME(name, aside);
    if (!made) return false;
    if (RENAME_OPEN_FILE(file, aside)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS &&
        GetLastError() != ERROR_FILE_EXISTS)
      return false;
  }
  return false;
}

// True when `name` is one that RENAME_ASIDE gives.
bool IS_ASIDE_NAME(const wchar_t* name) {
  const std::size_t length = std::wcslen(name);
  const std::size_t tail = 1 + ASIDE_DIGITS + ASIDE_SUFFIX.size();
  if (length <= tail ||
      std::wcscmp(name + length - ASIDE_SUFFIX.size(), ASIDE_SUFFIX.data()) !=
          0 ||
      name[length - tail] != L'.')
    return false;
  for (std::size_t i = length - tail + 1; i < length - ASIDE_SUFFIX.size(); ++i)
    if (!std::iswxdigit(name[i])) return false;
  return true;
}

// Deletes `path` only when no other process has it open, so that the name
// is free at once and nothing vanishes later. DeleteFile would succeed on a
// file shared for deletion and leave it standing, marked, until its holder
// lets go. A handle with attribute access only (an indexer, a backup agent,
// Explorer) takes no part in sharing and still keeps a marked file standing
// until it goes: POSIX-semantics deletion frees the name at once all the
// same. Where the file system lacks it (older Windows, file servers, Wine),
// the file is first renamed aside beside itself, then marked: the name is
// free at once, and what is renamed aside vanishes with its last handle. On
// any failure the file stays unmarked under its own name.
bool DELETE_UNSHARED(const wchar_t* path) {
  const HANDLE file = OPEN_FOR_DELETE(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  DispositionEx posix{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS};
  bool deleted =
      SetFileInformationByHandle(file, FILE_DISPOSITION_INFO_EX_CLASS, &posix,
                                 sizeof posix) != FALSE;
  DWORD error = deleted ? ERROR_SUCCESS : GetLastError();
  const bool unsupported = error == ERROR_INVALID_PARAMETER ||
                           error == ERROR_INVALID_FUNCTION ||
                           error == ERROR_NOT_SUPPORTED;
  const wchar_t* const slash = std::wcsrchr(path, L'\\');
  const wchar_t* const name = slash ? slash + 1 : path;
  wchar_t aside[MAX_PATH + 1];
  bool made = false, aside_path = false;
  static Path whole;  // the file renamed aside, in full
  if (unsupported) {
    bool moved = RENAME_ASIDE(file, name, aside, made);
    std::size_t length = 0;
    aside_path =
        made &&
        APPEND(whole, length, path, static_cast<std::size_t>(name - path)) &&
        APPEND(whole, length, aside, std::wcslen(aside));
    // A rename reported failed that a server carried out all the same: the
    // file stands aside, and its own name is free.
    if (!moved && aside_path && NOTHING_AT(path) && !NOTHING_AT(whole.text))
      moved = true;
    deleted = moved && MARK_FOR_DELETION(file);
    error = deleted ? ERROR_SUCCESS
            : made  ? GetLastError()
                    : ERROR_FILENAME_EXCED_RANGE;
    // Back under its own name, unmarked (a read-only file refuses the mark).
    // For a rename that was not done, this changes nothing.
    if (made && !deleted) static_cast<void>(RENAME_OPEN_FILE(file, name));
  }
  // A handle opened for DELETE only has nothing to write back; the file's
  // fate is the mark's.
  CloseHandle(file);
  if (!deleted) {
    // Still aside after all (a rename back done but reported failed leaves
    // the handle's own name behind): put back by name. None aside: no harm.
    if (aside_path && NOTHING_AT(path))
      static_cast<void>(MoveFileExW(whole.text, path, 0));
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    return false;
  }
  // Aside, the file vanishes with its last handle, and a file pending
  // deletion cannot be opened. One that opens for deletion was never
  // marked (a server that dropped the mark): it is marked again. Its own
  // name is free either way, so this only keeps the folder clean; what
  // stays is removed by the next run (REMOVE_SET_ASIDE_FILES).
  if (aside_path && GetFileAttributesW(whole.text) != INVALID_FILE_ATTRIBUTES) {
    const HANDLE again = OPEN_FOR_DELETE(whole.text);
    if (again != INVALID_HANDLE_VALUE) {
      static_cast<void>(MARK_FOR_DELETION(again));  // cleaning up only
      CloseHandle(again);  // opened for DELETE only: nothing to write back
    }
  }
  // The name must be gone now; a pending deletion (access denied) does not
  // count as gone. Saying so keeps a later step from relying on it.
  if (!NOTHING_AT(path)) {
    SetLastError(ERROR_FILE_EXISTS);
    return false;
  }
  return true;
}

// True when the file at `path` could be deleted or replaced now. Opened, as
// itself (a link is not followed), for DELETE and for writing its data, with
// no sharing, then closed: a holder in any share mode refuses DELETE without
// sharing; a running program's image (which Windows keeps from being
// written while it is mapped, handle or no handle) refuses the write, as
// does a read-only file, whose attribute is also looked at on the handle (a
// file system that lets an administrator write to it still refuses to
// replace it). Nothing is marked, written or changed, so nothing can be lost
// whenever the run stops, or the connection drops, in between.
bool DELETABLE(const wchar_t* path) {
  const HANDLE file = CreateFileW(
      path, DELETE | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, 0, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD error =
      GetFileInformationByHandle(file, &info) ? ERROR_SUCCESS : GetLastError();
  if (error == ERROR_SUCCESS &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
    error = ERROR_ACCESS_DENIED;
  CloseHandle(file);  // nothing written: nothing to lose
  if (error == ERROR_SUCCESS) return true;
  SetLastError(error);
  return false;
}

// Deletes `path`, retried while held; 0 also when it never existed.
int32_t DELETE_RETRIED(const wchar_t* path) {
  const int32_t status =
      WITH_BUSY_RETRY(path, [&] { return DELETE_UNSHARED(path); });
  return IS_ABSENT(static_cast<DWORD>(status)) ? 0 : LOOKED_AGAIN(status, path);
}

// Removes a temporary of our own, whatever its attributes: a read-only one
// (as copies made with CopyFile, before, took over from a read-only
// delivery) left by a killed or failed copy would otherwise block every
// later copy. True also
// when there is none. One try; callers retry.
bool REMOVE_TEMPORARY(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return IS_ABSENT(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
      !SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY))
    return false;
  return DELETE_UNSHARED(path);
}

// One piece of a copy, read and written at a time.
constexpr DWORD COPY_PIECE = 256 * 1024;
unsigned char COPY_BUFFER[COPY_PIECE];

// Copies `size` bytes of `in` to `out`, from their positions. A source that
// ends early (cut short, or a read that stops) fails: a short copy is no
// delivery.
int32_t COPY_DATA(HANDLE in, HANDLE out, ULONGLONG size) {
  for (ULONGLONG left = size; left > 0;) {
    const DWORD wanted =
        static_cast<DWORD>(std::min<ULONGLONG>(left, COPY_PIECE));
    DWORD got = 0;
    if (!ReadFile(in, COPY_BUFFER, wanted, &got, nullptr)) return LAST_ERROR();
    if (got == 0) return ERROR_HANDLE_EOF;
    for (DWORD done = 0; done < got;) {
      DWORD written = 0;
      if (!WriteFile(out, COPY_BUFFER + done, got - done, &written, nullptr))
        return LAST_ERROR();
      if (written == 0) return ERROR_WRITE_FAULT;
      done += written;
    }
    left -= got;
  }
  return 0;
}

// Makes `path` afresh and fills it from `in` (of `info`), on the handle it
// was made with: the data, the source's last write time, then a flush
// through every cache (a file server's too), so that the rename never shows
// a partial file after a crash. CREATE_NEW with OPEN_REPARSE_POINT fails on
// anything under the name, a dangling link too: nothing is written through
// a link. `copied` receives which file was written.
int32_t MAKE_COPY(const wchar_t* path, HANDLE in,
                  const BY_HANDLE_FILE_INFORMATION& info, Identity& copied) {
  HANDLE out = INVALID_HANDLE_VALUE;
  int32_t status = WITH_BUSY_RETRY(path, [&] {
    if (!REMOVE_TEMPORARY(path)) return false;
    // Read sharing: a virus scanner may look at the new file meanwhile.
    out = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                          FILE_FLAG_SEQUENTIAL_SCAN,
                      nullptr);
    return out != INVALID_HANDLE_VALUE;
  });
  if (status != 0) return status;
  BY_HANDLE_FILE_INFORMATION written;
  status = COPY_DATA(in, out,
                     ULONGLONG{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  if (status == 0 &&
      (!SetFileTime(out, nullptr, nullptr, &info.ftLastWriteTime) ||
       !FlushFileBuffers(out) || !GetFileInformationByHandle(out, &written)))
    status = LAST_ERROR();
  if (status == 0) copied = IDENTITY_OF(written);
  if (!CloseHandle(out) && status == 0) status = LAST_ERROR();
  return status;
}

HANDLE LOCK_HANDLE = INVALID_HANDLE_VALUE;

}  // namespace

int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details) {
  static Path path;
  const DWORD made = NAME_OF(path, name);
  // A name that cannot stand in this folder is certainly not there; a
  // current directory that cannot be read says nothing about the file.
  if (made == ERROR_INVALID_NAME) return ERROR_FILE_NOT_FOUND;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (made != 0 ||
      !GetFileAttributesExW(path.text, GetFileExInfoStandard, &data)) {
    const int32_t status =
        made != 0 ? static_cast<int32_t>(made) : LAST_ERROR();
    if (IS_ABSENT(static_cast<DWORD>(status))) return status;
    std::memset(details.data(), 0, details.size());
    return 0;  // not seen, so not known to be absent: the next call tells
  }
  if (!IS_PLAIN_FILE(path.text, data.dwFileAttributes))
    return ERROR_FILE_NOT_FOUND;
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
  static Path path;
  if (const DWORD made = NAME_OF(path, name)) return static_cast<int32_t>(made);
  // The read-only attribute is left as it is: a file someone made read-only
  // is not ours to delete.
  return DELETE_RETRIED(path.text);
}

int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target) {
  static Path from, to;
  if (const DWORD made = NAME_OF(from, source))
    return static_cast<int32_t>(made);
  if (const DWORD made = NAME_OF(to, target)) return static_cast<int32_t>(made);
  // No MOVEFILE_REPLACE_EXISTING: an existing target fails the rename
  // (ERROR_ALREADY_EXISTS) instead of being lost.
  // A rename that never replaces cannot have been done if the target stood
  // before it: only then may a failure be looked at again.
  const bool target_was_free = NOTHING_AT(to.text);
  const int32_t status = WITH_BUSY_RETRY(
      from.text, [&] { return MoveFileExW(from.text, to.text, 0); });
  return LOOKED_AGAIN(status, from.text, to.text, {}, target_was_free);
}

int32_t CBL_COPY_FILE(std::string_view source, std::string_view target) {
  static Path from, to, temporary;
  for (const DWORD made : {NAME_OF(from, source), NAME_OF(to, target),
                           NAME_OF(temporary, target, TEMPORARY_SUFFIX)})
    if (made != 0) return static_cast<int32_t>(made);

  // Read sharing only, for the whole copy: a delivery that someone is still
  // writing fails here rather than being copied half-written, no writer can
  // start while this handle stands, and nobody can rename or delete it.
  // A folder, a link or a sparse file is no delivery; nothing is copied.
  int32_t status = 0;
  BY_HANDLE_FILE_INFORMATION info;
  const HANDLE held = OPEN_PLAIN_FOR_READING(from.text, status, info);
  if (held == INVALID_HANDLE_VALUE) return status;

  // Copied through handles, not CopyFile: its fail-if-exists writes through
  // a dangling link planted under the temporary's name, and it would carry
  // a read-only delivery's attribute over to a working file.
  Identity copied;
  status = MAKE_COPY(temporary.text, held, info, copied);
  // WRITE_THROUGH: the call returns once the rename is on disk too. A
  // read-only target is not replaced: that fails at once.
  if (status == 0)
    status = LOOKED_AGAIN(WITH_BUSY_RETRY(to.text,
                                          [&] {
                                            return MoveFileExW(
                                                temporary.text, to.text,
                                                MOVEFILE_REPLACE_EXISTING |
                                                    MOVEFILE_WRITE_THROUGH);
                                          }),
                          temporary.text, to.text, copied);
  CloseHandle(held);  // opened for reading only: nothing to lose
  // Best effort: a temporary that stays behind is removed by the next copy,
  // and the copy has failed either way.
  if (status != 0)
    static_cast<void>(WITH_BUSY_RETRY(
        temporary.text, [&] { return REMOVE_TEMPORARY(temporary.text); }));
  return status;
}

int32_t CHECK_FILE_READABLE(std::string_view name) {
  static Path path;
  if (const DWORD made = NAME_OF(path, name)) return static_cast<int32_t>(made);
  int32_t status = 0;
  BY_HANDLE_FILE_INFORMATION info;
  const HANDLE file = OPEN_PLAIN_FOR_READING(path.text, status, info);
  if (file == INVALID_HANDLE_VALUE) return status;
  CloseHandle(file);  // opened for reading only: nothing to lose
  return 0;
}

int32_t CHECK_FILE_DELETABLE(std::string_view name) {
  static Path path;
  if (const DWORD made = NAME_OF(path, name)) return static_cast<int32_t>(made);
  const int32_t status =
      WITH_BUSY_RETRY(path.text, [&] { return DELETABLE(path.text); });
  return IS_ABSENT(static_cast<DWORD>(status)) ? 0 : status;
}

void REMOVE_SET_ASIDE_FILES() {
  static Path pattern;
  std::size_t length = 0;
  if (!CURRENT_FOLDER(pattern, length)) return;  // nothing to clean, then
  const std::size_t folder_length = length;
  if (!APPEND(pattern, length, L"*", 1) ||
      !APPEND(pattern, length, ASIDE_SUFFIX.data(), ASIDE_SUFFIX.size()))
    return;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW(pattern.text, FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;  // none, the usual case
  static Path whole;
  do {
    std::size_t whole_length = 0;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !IS_ASIDE_NAME(found.cFileName) ||
        !APPEND(whole, whole_length, pattern.text, folder_length) ||
        !APPEND(whole, whole_length, found.cFileName,
                std::wcslen(found.cFileName)))
      continue;
    // Already aside, so only marked (or deleted at once where POSIX
    // semantics allow): one still held stays for a later run.
    const HANDLE file = OPEN_FOR_DELETE(whole.text);
    if (file == INVALID_HANDLE_VALUE) continue;
    DispositionEx posix{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS};
    if (!SetFileInformationByHandle(file, FILE_DISPOSITION_INFO_EX_CLASS,
                                    &posix, sizeof posix))
      static_cast<void>(MARK_FOR_DELETION(file));  // cleaning up only
    CloseHandle(file);  // opened for DELETE only: nothing to write back
  } while (FindNextFileW(search, &found));
  FindClose(search);  // a search handle: nothing to lose
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

FolderLock ACQUIRE_FOLDER_LOCK(std::string_view name, uint32_t wait_limit_ms) {
  static Path path;
  const DWORD made = NAME_OF(path, name);
  const ULONGLONG start = GetTickCount64();
  for (bool denied_while_absent = false, at_once = false;; at_once = false) {
    if (made == 0) {
      // No sharing: while one run has the file open, every other run's open
      // fails with a sharing violation. DELETE_ON_CLOSE: the system removes
      // the file when the handle goes, even when the process is killed.
      // OPEN_REPARSE_POINT: a link planted under the lock's name is opened
      // (and, on release, deleted) as itself; its target is never touched.
      const HANDLE file = CreateFileW(
          path.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE |
              FILE_FLAG_OPEN_REPARSE_POINT,
          nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        LOCK_HANDLE = file;
        return FolderLock::HELD;
      }
      // Denied with no lock file there means this user may not create files
      // in the folder, and so could change nothing in it either. Denied
      // while a file stands there is the last holder's file going away (it
      // cannot be opened while its deletion is pending), or one this user
      // may not open: both count as held. Absent once may be the moment
      // the pending file vanished, so it takes two tries in a row.
      // A write-protected medium takes no changes at all.
      const DWORD error = GetLastError();
      if (error == ERROR_WRITE_PROTECT) return FolderLock::FOLDER_READ_ONLY;
      const bool absent =
          error == ERROR_ACCESS_DENIED &&
          GetFileAttributesW(path.text) == INVALID_FILE_ATTRIBUTES &&
          IS_ABSENT(GetLastError());
      if (absent && denied_while_absent) return FolderLock::FOLDER_READ_ONLY;
      denied_while_absent = absent;
      if (absent) continue;
      // A folder at the lock's name (or a link to one, a junction) is no
      // lock of anyone's: RemoveDirectory takes an empty folder, and a link
      // or junction as itself, never what it leads to. One that will not go
      // keeps every run out, and is said at once.
      const DWORD attributes = GetFileAttributesW(path.text);
      if (error == ERROR_ACCESS_DENIED &&
          attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (!RemoveDirectoryW(path.text)) return FolderLock::BLOCKED;
        at_once = true;
      }
    }
    // Anything else (another run's sharing violation, a network error)
    // counts as held, within the limit.
    if (GetTickCount64() - start >= wait_limit_ms) return FolderLock::NOT_HAD;
    if (!at_once) Sleep(LOCK_POLL_PAUSE_MS);
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

// ---------------------------------------------------------------------------
// The delivery program's operations: whole paths in UTF-8, open handles,
// listings. A path is made absolute against the current directory and given
// the long-path prefix, as the routines above do with their names. Paths
// live in static storage, as above: one is 64 KiB.

namespace platform {
namespace {

// `utf8` in UTF-16, zero-terminated, in `wide`.
int32_t WIDE_OF(std::string_view utf8, Path& wide) {
  if (utf8.empty() || utf8.size() >= LONG_PATH_CAPACITY ||
      utf8.find('\0') != std::string_view::npos)
    return ERROR_INVALID_NAME;
  const int length = MultiByteToWideChar(
      CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
      wide.text, LONG_PATH_CAPACITY - 1);
  if (length <= 0) return LAST_ERROR();
  wide.text[length] = L'\0';
  return 0;
}

// `wide` in UTF-8, zero-terminated, in `utf8`.
int32_t UTF8_OF(const wchar_t* wide, std::span<char> utf8) {
  if (utf8.empty()) return ERROR_INSUFFICIENT_BUFFER;
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(),
                          static_cast<int>(std::min<std::size_t>(
                              utf8.size(), LONG_PATH_CAPACITY * 3)),
                          nullptr, nullptr);
  return length > 0 ? 0 : LAST_ERROR();
}

// `path` made absolute against the current directory, without a prefix.
int32_t FULL_WIDE_PATH(std::string_view path, Path& full) {
  static Path wide;
  if (const int32_t status = WIDE_OF(path, wide)) return status;
  const DWORD length =
      GetFullPathNameW(wide.text, LONG_PATH_CAPACITY, full.text, nullptr);
  if (length == 0) return LAST_ERROR();
  if (length >= LONG_PATH_CAPACITY) return ERROR_FILENAME_EXCED_RANGE;
  return 0;
}

// `path` as one long path ("\\?\C:\...", "\\?\UNC\server\share\..."), which
// the wide calls take beyond MAX_PATH.
int32_t LONG_WIDE_PATH(std::string_view path, Path& long_path) {
  static Path full;
  if (const int32_t status = FULL_WIDE_PATH(path, full)) return status;
  std::size_t length = 0;
  return APPEND_LONG_FORM(long_path, length, full.text)
             ? 0
             : ERROR_FILENAME_EXCED_RANGE;
}

HANDLE HANDLE_OF(OpenFile file) {
  return reinterpret_cast<HANDLE>(file.native);
}

FileFacts FACTS_FROM(const BY_HANDLE_FILE_INFORMATION& info) {
  return {ULONGLONG{info.nFileSizeHigh} << 32 | info.nFileSizeLow,
          static_cast<int64_t>(ULONGLONG{info.ftLastWriteTime.dwHighDateTime}
                                   << 32 |
                               info.ftLastWriteTime.dwLowDateTime),
          info.dwVolumeSerialNumber,
          ULONGLONG{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

// FileIdInfo: MinGW's headers declare it only for newer targets than this
// program's, so the documented class number and layout stand here.
constexpr auto FILE_ID_INFO_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInfo {
  ULONGLONG volume;
  unsigned char id[16];
};

}  // namespace

int32_t FULL_FOLDER_PATH(std::string_view folder, std::span<char> full) {
  static Path path, long_path;
  if (const int32_t status = FULL_WIDE_PATH(folder, path)) return status;
  if (const int32_t status = LONG_WIDE_PATH(folder, long_path)) return status;
  const DWORD attributes = GetFileAttributesW(long_path.text);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LAST_ERROR();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  const std::size_t length = std::wcslen(path.text);
  if (path.text[length - 1] != L'\\') {
    if (length + 1 >= LONG_PATH_CAPACITY) return ERROR_FILENAME_EXCED_RANGE;
    path.text[length] = L'\\';
    path.text[length + 1] = L'\0';
  }
  return UTF8_OF(path.text, full);
}

int32_t SAME_FOLDER(std::string_view first, std::string_view second,
                    bool& same) {
  static Path path;
  FileIdInfo ids[2];
  const std::string_view paths[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    if (const int32_t status = LONG_WIDE_PATH(paths[i], path)) return status;
    // No access asked for, all sharing granted, BACKUP_SEMANTICS (which a
    // folder needs to be opened at all): nobody's use of it is disturbed.
    const HANDLE folder = CreateFileW(
        path.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return LAST_ERROR();
    // The 128-bit id where the file system has it; else the 64-bit index
    // (older servers, Wine).
    BY_HANDLE_FILE_INFORMATION info;
    bool read = GetFileInformationByHandleEx(folder, FILE_ID_INFO_CLASS,
                                             &ids[i], sizeof ids[i]) != FALSE;
    if (!read && GetFileInformationByHandle(folder, &info)) {
      read = true;
      ids[i] = {info.dwVolumeSerialNumber, {}};
      const ULONGLONG index =
          ULONGLONG{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
      std::memcpy(ids[i].id, &index, sizeof index);
    }
    const int32_t status = read ? 0 : LAST_ERROR();
    CloseHandle(folder);  // opened without access: nothing to lose
    if (!read) return status;
  }
  constexpr unsigned char NONE[16] = {};
  same = ids[0].volume == ids[1].volume &&
         std::memcmp(ids[0].id, ids[1].id, sizeof NONE) == 0 &&
         std::memcmp(ids[0].id, NONE, sizeof NONE) != 0;
  return 0;
}

int32_t LIST_FOLDER(std::string_view folder, VisitEntry visit, void* context) {
  static Path pattern;
  if (const int32_t status = LONG_WIDE_PATH(folder, pattern)) return status;
  std::size_t length = std::wcslen(pattern.text);
  if (length + 2 >= LONG_PATH_CAPACITY) return ERROR_FILENAME_EXCED_RANGE;
  if (pattern.text[length - 1] != L'\\') pattern.text[length++] = L'\\';
  pattern.text[length++] = L'*';
  pattern.text[length] = L'\0';
  WIN32_FIND_DATAW data;
  const HANDLE search = FindFirstFileExW(pattern.text, FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    // A drive's root folder lists no "." and "..": nothing found is empty.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : LAST_ERROR();
  }
  // A name is at most MAX_PATH UTF-16 units, each at most three bytes.
  char name[MAX_PATH * 3 + 1];
  int32_t status = 0;
  do {
    if (std::wcscmp(data.cFileName, L".") == 0 ||
        std::wcscmp(data.cFileName, L"..") == 0)
      continue;
    status = UTF8_OF(data.cFileName, name);
    if (status != 0) break;
    // The listing gives a reparse point's tag (dwReserved0) with it.
    const bool plain = IS_PLAIN(data.dwFileAttributes, data.dwReserved0);
    visit({name, plain,
           plain ? ULONGLONG{data.nFileSizeHigh} << 32 | data.nFileSizeLow : 0},
          context);
  } while (FindNextFileW(search, &data));
  if (status == 0 && GetLastError() != ERROR_NO_MORE_FILES)
    status = LAST_ERROR();
  FindClose(search);  // a search handle: nothing to lose
  return status;
}

int32_t ENTER_FOLDER(std::string_view folder) {
  static Path path;
  if (const int32_t status = FULL_WIDE_PATH(folder, path)) return status;
  return SetCurrentDirectoryW(path.text) ? 0 : LAST_ERROR();
}

int32_t OPEN_FOR_READING(std::string_view path, Caching caching, OpenFile& file,
                         FileFacts& facts) {
  static Path wide;
  if (const int32_t status = LONG_WIDE_PATH(path, wide)) return status;
  // OPEN_REPARSE_POINT: a link is opened as itself, and refused below.
  const DWORD flags =
      FILE_FLAG_OPEN_REPARSE_POINT |
      (caching == Caching::FROM_DISK ? FILE_FLAG_NO_BUFFERING
                                     : FILE_FLAG_SEQUENTIAL_SCAN);
  HANDLE opened = INVALID_HANDLE_VALUE;
  // Read sharing only: nobody writes to the file while it is read.
  const int32_t status = WITH_BUSY_RETRY(wide.text, [&] {
    opened = CreateFileW(wide.text, GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, flags, nullptr);
    return opened != INVALID_HANDLE_VALUE;
  });
  if (status != 0) return status;
  BY_HANDLE_FILE_INFORMATION info;
  FILE_ATTRIBUTE_TAG_INFO tag;
  int32_t checked = 0;
  if (!GetFileInformationByHandle(opened, &info) ||
      !GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag,
                                    sizeof tag))
    checked = LAST_ERROR();
  else if (!IS_PLAIN(tag.FileAttributes, tag.ReparseTag))
    checked = ERROR_INVALID_PARAMETER;
  if (checked != 0) {
    CloseHandle(opened);  // opened for reading only: nothing to lose
    return checked;
  }
  file.native = reinterpret_cast<intptr_t>(opened);
  facts = FACTS_FROM(info);
  return 0;
}

int32_t READ_SOME(OpenFile file, std::span<unsigned char> buffer,
                  std::size_t& got) {
  constexpr std::size_t MOST_AT_ONCE = 1u << 30;
  DWORD read = 0;
  const auto wanted = static_cast<DWORD>(std::min(buffer.size(), MOST_AT_ONCE));
  if (!ReadFile(HANDLE_OF(file), buffer.data(), wanted, &read, nullptr))
    return LAST_ERROR();
  got = read;
  return 0;
}

int32_t FACTS_OF(OpenFile file, FileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(HANDLE_OF(file), &info)) return LAST_ERROR();
  facts = FACTS_FROM(info);
  return 0;
}

int32_t CREATE_NEW_FILE(std::string_view path, OpenFile /*like*/,
                        OpenFile& file) {
  static Path wide;
  if (const int32_t status = LONG_WIDE_PATH(path, wide)) return status;
  // CREATE_NEW with OPEN_REPARSE_POINT: anything already there, a dangling
  // link too, fails the call, so nothing is written through a link. The new
  // file takes the folder's permissions, as any file made there would.
  const HANDLE created = CreateFileW(
      wide.text, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN |
          FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (created == INVALID_HANDLE_VALUE) return LAST_ERROR();
  file.native = reinterpret_cast<intptr_t>(created);
  return 0;
}

int32_t WRITE_ALL(OpenFile file, std::span<const unsigned char> data) {
  constexpr std::size_t MOST_AT_ONCE = 1u << 30;
  while (!data.empty()) {
    const auto wanted = static_cast<DWORD>(std::min(data.size(), MOST_AT_ONCE));
    DWORD written = 0;
    if (!WriteFile(HANDLE_OF(file), data.data(), wanted, &written, nullptr))
      return LAST_ERROR();
    if (written == 0) return ERROR_WRITE_FAULT;
    data = data.subspan(written);
  }
  return 0;
}

int32_t FLUSH_FILE(OpenFile file) {
  return FlushFileBuffers(HANDLE_OF(file)) ? 0 : LAST_ERROR();
}

int32_t CLOSE_FILE(OpenFile& file) {
  if (file.native == -1) return 0;
  const HANDLE handle = HANDLE_OF(file);
  file.native = -1;
  return CloseHandle(handle) ? 0 : LAST_ERROR();
}

int32_t RENAME_REPLACING(std::string_view source, std::string_view target) {
  static Path from, to;
  if (const int32_t status = LONG_WIDE_PATH(source, from)) return status;
  if (const int32_t status = LONG_WIDE_PATH(target, to)) return status;
  // WRITE_THROUGH: the call returns once the rename is on disk. A read-only
  // target is not replaced: that fails at once.
  const Identity moving = IDENTITY_AT(from.text);
  return LOOKED_AGAIN(
      WITH_BUSY_RETRY(to.text,
                      [&] {
                        return MoveFileExW(
                            from.text, to.text,
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
                      }),
      from.text, to.text, moving);
}

void DESCRIBE(std::string_view path, std::span<char> text) {
  static Path wide;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (LONG_WIDE_PATH(path, wide) == 0)
    attributes = GetFileAttributesW(wide.text);
  const std::string_view what =
      attributes == INVALID_FILE_ATTRIBUTES              ? "nothing"
      : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? "a link"
      : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0     ? "a folder"
                                                         : "a file";
  if (text.empty()) return;
  const std::size_t kept = std::min(what.size(), text.size() - 1);
  std::memcpy(text.data(), what.data(), kept);
  text[kept] = '\0';
}

bool NAMES_IGNORE_CASE() { return true; }

bool HELD_BY_ANOTHER(int32_t status) {
  return status == ERROR_SHARING_VIOLATION || status == ERROR_LOCK_VIOLATION;
}

bool ERRORS_GO_TO_TERMINAL() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

void ERROR_TEXT(int32_t status, std::span<char> text) {
  if (text.empty()) return;
  wchar_t said[512];
  DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(status), 0, said,
                     sizeof said / sizeof said[0], nullptr);
  // The system's sentence ends in a full stop and a line break.
  while (length > 0 &&
         (said[length - 1] == L'\n' || said[length - 1] == L'\r' ||
          said[length - 1] == L' ' || said[length - 1] == L'.'))
    --length;
  said[length] = L'\0';
  if (length > 0 && UTF8_OF(said, text) == 0) return;
  // Without the system's words, the number. Written out here: the C
  // library's formatting would add its whole printf to both executables.
  char number[24] = "error ";
  std::size_t end = std::strlen(number);
  auto value = static_cast<uint32_t>(status);
  char digits[12];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) number[end++] = digits[--count];
  number[end] = '\0';
  const std::size_t kept = std::min(end, text.size() - 1);
  std::memcpy(text.data(), number, kept);
  text[kept] = '\0';
}

}  // namespace platform
