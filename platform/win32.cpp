// Only Win32 calls and the mapping of their errors go here: what platform.h
// declares native. Retries, second looks and name fields are platform.cpp's.

#define WIN32_LEAN_AND_MEAN  // the same as a test build's reply_lost.h
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cwchar>
#include <utility>

#include "platform.h"

namespace platform {
namespace {

// Windows gives 64-bit sizes, indexes and times (FILETIME: 100-nanosecond
// ticks since 1601) as two DWORDs.
ULONGLONG JOINED(DWORD high, DWORD low) { return ULONGLONG{high} << 32 | low; }
int64_t SECONDS_OF(const FILETIME& time) {
  const auto ticks = JOINED(time.dwHighDateTime, time.dwLowDateTime);
  return (static_cast<int64_t>(ticks) - 116'444'736'000'000'000) / 10'000'000;
}

// GetLastError as a status, never 0; a buffer too small is a path too long.
int32_t LAST_ERROR() {
  const DWORD error = GetLastError();
  if (error == ERROR_INSUFFICIENT_BUFFER) return ERROR_FILENAME_EXCED_RANGE;
  return error != 0 ? static_cast<int32_t>(error) : ERROR_GEN_FAILURE;
}

// A whole path in UTF-16, zero-terminated, never empty once made: 64 KiB, on
// the stack of the call that needs it (1 MiB; no call holds more than three).
constexpr std::size_t LONG_PATH_CAPACITY = 32'768;
struct WidePath {
  wchar_t text[LONG_PATH_CAPACITY];
  std::size_t length = 0;
  // Appends `more`; false, the path unchanged, when it does not fit.
  bool ADD(std::wstring_view more) {
    if (length + more.size() >= LONG_PATH_CAPACITY) return false;
    *std::copy(more.begin(), more.end(), text + length) = L'\0';
    length += more.size();
    return true;
  }
  bool END_FOLDER() { return text[length - 1] == L'\\' || ADD(L"\\"); }
};

// `path` in UTF-8 made absolute against the current folder, in long form
// ("\\?\C:\x", "\\?\UNC\server\x"), which the wide calls take as it is and
// beyond MAX_PATH (a folder deep on a file server may leave little room).
int32_t LONG_PATH(const char* path, WidePath& wide, bool prefixed = true) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1,
                                       wide.text, LONG_PATH_CAPACITY);
  if (size <= 1) return size == 1 ? ERROR_INVALID_NAME : LAST_ERROR();
  WidePath full;
  full.length =
      GetFullPathNameW(wide.text, LONG_PATH_CAPACITY, full.text, nullptr);
  if (full.length == 0) return LAST_ERROR();
  if (full.length >= LONG_PATH_CAPACITY) return ERROR_FILENAME_EXCED_RANGE;
  const std::wstring_view given{full.text, full.length};
  const bool unc = given.starts_with(L"\\\\");
  wide.length = 0;
  return (!prefixed || given.starts_with(L"\\\\?\\") ? wide.ADD(given)
          : unc ? wide.ADD(L"\\\\?\\UNC") && wide.ADD(given.substr(1))
                : wide.ADD(L"\\\\?\\") && wide.ADD(given))
             ? 0
             : ERROR_FILENAME_EXCED_RANGE;
}

// `wide` in UTF-8, zero-terminated; one that does not fit fails, never cut.
int32_t UTF8_OF(const wchar_t* wide, std::span<char> utf8) {
  return WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(),
                             static_cast<int>(utf8.size()), nullptr, nullptr)
             ? 0
             : LAST_ERROR();
}

// `what` into `text`, zero-terminated, cut short between characters.
void PUT_TEXT(std::string_view what, std::span<char> text) {
  if (text.empty()) return;
  std::size_t kept = std::min(what.size(), text.size() - 1);
  while (kept < what.size() && kept > 0 && (what[kept] & 0xC0) == 0x80) --kept;
  std::memcpy(text.data(), what.data(), kept);
  text[kept] = '\0';
}

// A handle closed when it goes out of scope: only ones that write no data, so
// closing has nothing to lose (a written file is an OpenFile, which tells).
struct Handle {
  enum Closing { CLOSE_HANDLE, FIND_CLOSE };  // FIND_CLOSE: a folder search
  explicit Handle(HANDLE opened, Closing how = CLOSE_HANDLE)
      : handle(opened), closing(how) {}
  Handle(const Handle&) = delete;  // (assignment: `closing` is const)
  ~Handle() { CLOSE(); }
  bool OPEN() const { return handle != INVALID_HANDLE_VALUE; }
  HANDLE GIVE() { return std::exchange(handle, INVALID_HANDLE_VALUE); }
  void CLOSE() {
    if (OPEN()) closing == FIND_CLOSE ? FindClose(GIVE()) : CloseHandle(GIVE());
  }
  HANDLE handle;
  const Closing closing;
};
// An OpenFile keeps its HANDLE as an intptr_t (INVALID_HANDLE_VALUE is -1).
HANDLE HANDLE_OF(const OpenFile& file) {
  return reinterpret_cast<HANDLE>(file.native);
}
// Access denied is also the answer for a read-only file or a folder, which no
// wait changes: those come out as what they are, not held.
int32_t MAPPED(int32_t status, const WidePath& path) {
  constexpr int32_t IS_A_FOLDER = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED
  if (status != ERROR_ACCESS_DENIED) return status;
  const DWORD attributes = GetFileAttributesW(path.text);
  if (attributes == INVALID_FILE_ATTRIBUTES) return status;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return IS_A_FOLDER;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_FILE_READ_ONLY;
  return status;
}

bool NOTHING_AT(const wchar_t* path) {  // certainly nothing there
  return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
         IS_ABSENT(LAST_ERROR());
}
// Not a folder, nor a reparse point that leads elsewhere (a link would make
// a call work on another file); a deduplicated or cloud file is plain.
bool IS_PLAIN(DWORD attributes, DWORD reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
          !REPARSE_TAG_LEADS_ELSEWHERE(reparse_tag));
}
// What an open file's handle tells of it, as FileFacts has it.
int32_t FACTS_BY(HANDLE file, FileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return LAST_ERROR();
  facts = {JOINED(info.nFileSizeHigh, info.nFileSizeLow),
           static_cast<int64_t>(JOINED(info.ftLastWriteTime.dwHighDateTime,
                                       info.ftLastWriteTime.dwLowDateTime)),
           info.dwVolumeSerialNumber,
           JOINED(info.nFileIndexHigh, info.nFileIndexLow),
           (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0};
  return 0;
}

// For DELETE only, sharing nothing: fails while another process has the file
// open in any share mode. A link is opened as itself; a folder not at all.
HANDLE OPEN_FOR_DELETE(const wchar_t* path) {
  return CreateFileW(path, DELETE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// POSIX semantics: the name is free at once, whoever holds attributes only.
// (Class 21, FileDispositionInfoEx, which MinGW's headers name for no target.)
bool DELETE_POSIX(HANDLE file) {
  constexpr auto EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE |
                                 FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  return SetFileInformationByHandle(file, EX_CLASS, &posix, sizeof posix);
}
// Deleted when its last handle closes; the name stands until then.
bool MARK_FOR_DELETION(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition);
}

// Renames the open file to `path`, never over a file. The whole path: a
// bare name would be taken relative to the process's current folder, which
// need not be the file's (the delivery works from anywhere).
bool RENAME_OPEN_FILE(HANDLE file, std::wstring_view path) {
  struct Rename {
    FILE_RENAME_INFO info;
    wchar_t room[LONG_PATH_CAPACITY];  // FileName runs on into it
  };
  Rename rename{};
  rename.info.ReplaceIfExists = FALSE;
  rename.info.FileNameLength = path.size() * sizeof(wchar_t);
  std::wmemcpy(rename.info.FileName, path.data(), path.size());
  return SetFileInformationByHandle(file, FileRenameInfo, &rename,
                                    sizeof rename);
}

constexpr std::wstring_view ASIDE_SUFFIX = L".deleted";
constexpr std::size_t ASIDE_DIGITS = 8;
constexpr std::size_t ASIDE_TAIL = 1 + ASIDE_DIGITS + ASIDE_SUFFIX.size();
// Renames the open file `path` (name at `name`) to `aside` (given empty):
// "<name>.<8 hex digits>.deleted", which no run looks at (empty: too long).
// Digits of clock, process id and a count; a taken name (another run's) fails.
int32_t RENAME_ASIDE(HANDLE file, const WidePath& path, std::size_t name,
                     WidePath& aside) {
  static DWORD count = 0;
  if (path.length - name + ASIDE_TAIL > MAX_PATH || !aside.ADD(path.text) ||
      !aside.ADD(L".00000000") || !aside.ADD(ASIDE_SUFFIX)) {
    aside.length = 0;
    return ERROR_FILENAME_EXCED_RANGE;
  }
  for (int attempt = 0; attempt < 4; ++attempt) {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);  // cannot fail since Windows XP
    DWORD mark = static_cast<DWORD>(counter.QuadPart) ^
                 static_cast<DWORD>(counter.QuadPart >> 32) ^
                 GetCurrentProcessId() << 16 ^ ++count * 0x9E3779B9u;
    for (std::size_t digit = ASIDE_DIGITS; digit > 0; --digit, mark >>= 4)
      aside.text[path.length + digit] = L"0123456789ABCDEF"[mark & 0xF];
    if (RENAME_OPEN_FILE(file, aside.text)) return 0;
    if (GetLastError() != ERROR_ALREADY_EXISTS &&
        GetLastError() != ERROR_FILE_EXISTS)
      break;
  }
  return LAST_ERROR();
}

// Only names RENAME_ASIDE gives: a user's own "x.deleted" is left alone.
bool IS_ASIDE_NAME(std::wstring_view name) {
  const std::size_t dot = name.size() - ASIDE_TAIL;
  return name.size() > ASIDE_TAIL && name.ends_with(ASIDE_SUFFIX) &&
         name[dot] == L'.' &&
         name.substr(dot + 1, ASIDE_DIGITS)
                 .find_first_not_of(L"0123456789ABCDEFabcdef") == name.npos;
}

// Deletes `path` only when nobody else has it open, so that the name is free
// at once (DeleteFile leaves a file shared for deletion standing, marked).
// Without POSIX semantics (older Windows, file servers, Wine) the file is
// renamed aside, then marked. On failure it stays, unmarked, as it was.
int32_t DELETE_UNSHARED(const WidePath& path) {
  const std::size_t name = std::wcsrchr(path.text, L'\\') + 1 - path.text;
  Handle file{OPEN_FOR_DELETE(path.text)};
  if (!file.OPEN()) return LAST_ERROR();
  bool deleted = DELETE_POSIX(file.handle);
  int32_t status = deleted ? 0 : LAST_ERROR();
  WidePath aside;
  if (status == ERROR_INVALID_PARAMETER || status == ERROR_INVALID_FUNCTION ||
      status == ERROR_NOT_SUPPORTED) {
    status = RENAME_ASIDE(file.handle, path, name, aside);
    // A rename reported failed that a server carried out all the same.
    const bool moved =
        status == 0 ||
        (aside.length > 0 && NOTHING_AT(path.text) && !NOTHING_AT(aside.text));
    deleted = moved && MARK_FOR_DELETION(file.handle);
    if (moved) status = deleted ? 0 : LAST_ERROR();
    // Back under its own name (a read-only file refuses the mark).
    if (aside.length > 0 && !deleted)
      static_cast<void>(RENAME_OPEN_FILE(file.handle, path.text));
  }
  file.CLOSE();  // opened for DELETE only: the file's fate is the mark's
  if (!deleted) {
    // Still aside (a rename back reported failed but done): put back by name;
    // should that fail too, the name is free, and the file goes with cleanup.
    if (aside.length > 0 && NOTHING_AT(path.text))
      static_cast<void>(MoveFileExW(aside.text, path.text, 0));
    return status != 0 ? status : static_cast<int32_t>(ERROR_GEN_FAILURE);
  }
  // A file aside that still opens lost its mark on a server: marked again,
  // to keep the folder clean (REMOVE_SET_ASIDE_FILES takes what stays).
  if (aside.length > 0 &&
      GetFileAttributesW(aside.text) != INVALID_FILE_ATTRIBUTES) {
    const Handle again{OPEN_FOR_DELETE(aside.text)};
    if (again.OPEN())
      static_cast<void>(MARK_FOR_DELETION(again.handle));  // cleaning up only
  }
  // The name must be free now; a pending deletion does not count as free.
  return NOTHING_AT(path.text) ? 0 : static_cast<int32_t>(ERROR_FILE_EXISTS);
}

alignas(READ_ALIGNMENT) unsigned char COPY_BUFFER[256 * 1024];
HANDLE LOCK_FILE = INVALID_HANDLE_VALUE;

}  // namespace

const int32_t STATUS_ABSENT = ERROR_FILE_NOT_FOUND;
const int32_t STATUS_INVALID = ERROR_INVALID_PARAMETER;
const bool IDENTITY_COSTS_AN_OPEN = true;  // FACTS_AT opens the file
// The errors that say nothing stands there, and those a holder's let-go ends.
bool IS_ABSENT(int32_t status) {
  return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}
bool IS_HELD(int32_t status) {
  return status == ERROR_SHARING_VIOLATION || status == ERROR_LOCK_VIOLATION ||
         status == ERROR_ACCESS_DENIED;
}

// By attributes, and a reparse point's tag from the folder's listing, which
// opens nothing; a tag that cannot be read counts as a link.
Look LOOK_AT(const char* path) {
  WidePath wide;
  WIN32_FILE_ATTRIBUTE_DATA data;
  WIN32_FIND_DATAW found;
  if (LONG_PATH(path, wide) != 0) return {Kind::UNSEEN};
  if (!GetFileAttributesExW(wide.text, GetFileExInfoStandard, &data))
    return {IS_ABSENT(LAST_ERROR()) ? Kind::ABSENT : Kind::UNSEEN};
  bool plain = IS_PLAIN(data.dwFileAttributes, 0);
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    const Handle listing{FindFirstFileExW(wide.text, FindExInfoBasic, &found,
                                          FindExSearchNameMatch, nullptr, 0),
                         Handle::FIND_CLOSE};
    plain =
        listing.OPEN() && IS_PLAIN(found.dwFileAttributes, found.dwReserved0);
  }
  if (!plain) return {Kind::OTHER};
  return {Kind::PLAIN_FILE, JOINED(data.nFileSizeHigh, data.nFileSizeLow),
          SECONDS_OF(data.ftLastWriteTime)};
}

// No access and all sharing: no holder is disturbed. OPEN_REPARSE_POINT: a
// link's own facts; BACKUP_SEMANTICS: a folder's too.
int32_t FACTS_AT(const char* path, FileFacts& facts) {
  WidePath wide;
  if (const int32_t status = LONG_PATH(path, wide)) return status;
  const Handle file{CreateFileW(
      wide.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  return file.OPEN() ? FACTS_BY(file.handle, facts) : LAST_ERROR();
}

// Read sharing only: a writer still at work fails the open, and none can
// start while it stands. OPEN_REPARSE_POINT: a link is opened, and refused.
int32_t OPEN_FOR_READING(const char* path, Caching caching, OpenFile& file,
                         FileFacts& facts) {
  WidePath wide;
  if (const int32_t status = LONG_PATH(path, wide)) return status;
  const DWORD reading = caching == Caching::FROM_DISK
                            ? FILE_FLAG_NO_BUFFERING
                            : FILE_FLAG_SEQUENTIAL_SCAN;
  Handle opened{CreateFileW(wide.text, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | reading, nullptr)};
  if (!opened.OPEN()) return MAPPED(LAST_ERROR(), wide);
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (const int32_t status = FACTS_BY(opened.handle, facts)) return status;
  if (!GetFileInformationByHandleEx(opened.handle, FileAttributeTagInfo, &tag,
                                    sizeof tag))
    return LAST_ERROR();
  if (!IS_PLAIN(tag.FileAttributes, tag.ReparseTag)) return STATUS_INVALID;
  file.native = reinterpret_cast<intptr_t>(opened.GIVE());
  return 0;
}
// On an open file's handle. ReadFile and WriteFile take a DWORD count: a
// gibibyte at most at a time.
int32_t READ_SOME(const OpenFile& file, std::span<unsigned char> buffer,
                  std::size_t& got) {
  DWORD read = 0;
  const auto wanted =
      static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
  const BOOL done =
      ReadFile(HANDLE_OF(file), buffer.data(), wanted, &read, nullptr);
  got = read;
  return done ? 0 : LAST_ERROR();
}
int32_t WRITE_ALL(const OpenFile& file, std::span<const unsigned char> data) {
  while (!data.empty()) {
    const auto wanted =
        static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(HANDLE_OF(file), data.data(), wanted, &written, nullptr))
      return LAST_ERROR();
    if (written == 0) return ERROR_WRITE_FAULT;
    data = data.subspan(written);
  }
  return 0;
}
int32_t FACTS_OF(const OpenFile& file, FileFacts& facts) {
  return FACTS_BY(HANDLE_OF(file), facts);
}
// CREATE_NEW with OPEN_REPARSE_POINT: anything there, a dangling link too,
// fails. Read sharing: a virus scanner may look. The folder's permissions.
int32_t CREATE_NEW_FILE(const char* path, const OpenFile& /*like*/,
                        Readers /*readers*/, OpenFile& file) {
  WidePath wide;
  if (const int32_t status = LONG_PATH(path, wide)) return status;
  constexpr DWORD NEW_FILE = FILE_ATTRIBUTE_NORMAL |
                             FILE_FLAG_OPEN_REPARSE_POINT |
                             FILE_FLAG_SEQUENTIAL_SCAN;
  const HANDLE created = CreateFileW(wide.text, GENERIC_WRITE, FILE_SHARE_READ,
                                     nullptr, CREATE_NEW, NEW_FILE, nullptr);
  if (created == INVALID_HANDLE_VALUE) return MAPPED(LAST_ERROR(), wide);
  file.native = reinterpret_cast<intptr_t>(created);
  return 0;
}

// Not CopyFile: it writes through a dangling link, and copies a read-only
// attribute. From both starts, in whole aligned pieces (an `in` read
// FROM_DISK needs them); `out`, just made, ends where the data does.
int32_t COPY_DATA(const OpenFile& in, const OpenFile& out, uint64_t size) {
  FILETIME last_write;
  if (!GetFileTime(HANDLE_OF(in), nullptr, nullptr, &last_write) ||
      !SetFilePointerEx(HANDLE_OF(in), {}, nullptr, FILE_BEGIN) ||
      !SetFilePointerEx(HANDLE_OF(out), {}, nullptr, FILE_BEGIN))
    return LAST_ERROR();
  for (uint64_t left = size; left > 0;) {
    std::size_t got = 0;
    if (const int32_t status = READ_SOME(in, COPY_BUFFER, got)) return status;
    if (got == 0) return ERROR_HANDLE_EOF;  // a source cut short
    got = static_cast<std::size_t>(std::min<uint64_t>(got, left));
    if (const int32_t status = WRITE_ALL(out, {COPY_BUFFER, got}))
      return status;
    left -= got;
  }
  return SetFileTime(HANDLE_OF(out), nullptr, nullptr, &last_write)
             ? 0
             : LAST_ERROR();
}
// Through every cache, a file server's too.
int32_t FLUSH_FILE(const OpenFile& file) {
  return FlushFileBuffers(HANDLE_OF(file)) ? 0 : LAST_ERROR();
}
// What closing says is told: a written file's last error may show only here.
int32_t OpenFile::CLOSE() {
  const auto handle = reinterpret_cast<HANDLE>(std::exchange(native, -1));
  return handle == INVALID_HANDLE_VALUE || CloseHandle(handle) ? 0
                                                               : LAST_ERROR();
}

// Without REPLACE_EXISTING a target fails rather than be lost. Replacing,
// WRITE_THROUGH returns once on disk; the target is what may refuse for good.
int32_t RENAME(const char* source, const char* target, Replacing replacing) {
  WidePath from, to;
  if (const int32_t status = LONG_PATH(source, from)) return status;
  if (const int32_t status = LONG_PATH(target, to)) return status;
  const bool replace = replacing == Replacing::YES;
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (MoveFileExW(from.text, to.text, replace ? flags : 0)) return 0;
  return MAPPED(LAST_ERROR(), replace ? to : from);
}
// Nothing to do: the renames that must last are made with WRITE_THROUGH.
int32_t FLUSH_FOLDER_OF(const char* /*path*/) { return 0; }
// A file someone made read-only stays, attribute and all.
int32_t DELETE_NOW(const char* path) {
  WidePath wide;
  if (const int32_t status = LONG_PATH(path, wide)) return status;
  return MAPPED(DELETE_UNSHARED(wide), wide);
}
// A read-only temporary (left by a killed copy) loses the attribute first;
// a folder keeps it, and fails in the delete.
int32_t DELETE_TEMPORARY(const char* path) {
  WidePath wide;
  if (const int32_t status = LONG_PATH(path, wide)) return status;
  const DWORD attributes = GetFileAttributesW(wide.text);
  if (attributes == INVALID_FILE_ATTRIBUTES) return MAPPED(LAST_ERROR(), wide);
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) ==
          FILE_ATTRIBUTE_READONLY &&
      !SetFileAttributesW(wide.text, attributes & ~FILE_ATTRIBUTE_READONLY))
    return MAPPED(LAST_ERROR(), wide);
  return MAPPED(DELETE_UNSHARED(wide), wide);
}

// As itself, for DELETE and writing its data, sharing nothing; nothing is
// written. A holder in any share mode refuses DELETE; a running program's
// image (even with no handle) and a read-only file refuse writing, and the
// attribute is read on the handle too (an administrator's write may pass).
int32_t CHECK_DELETABLE(const char* path) {
  WidePath wide;
  if (const int32_t status = LONG_PATH(path, wide)) return status;
  Handle file{CreateFileW(
      wide.text, DELETE | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, 0, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr)};
  if (!file.OPEN()) return MAPPED(LAST_ERROR(), wide);
  BY_HANDLE_FILE_INFORMATION info;
  const int32_t status =
      !GetFileInformationByHandle(file.handle, &info)   ? LAST_ERROR()
      : info.dwFileAttributes & FILE_ATTRIBUTE_READONLY ? ERROR_ACCESS_DENIED
                                                        : 0;
  file.CLOSE();
  return MAPPED(status, wide);
}

// No sharing: while one run has it open, another's open fails, on a file
// server too. DELETE_ON_CLOSE: gone with the handle, a killed process's too.
// OPEN_REPARSE_POINT: a link at the name is the file, never its target.
LockTry TRY_LOCK(const char* path) {
  WidePath wide;
  if (LONG_PATH(path, wide) != 0) return LockTry::TAKEN;
  constexpr DWORD LOCKING = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE |
                            FILE_FLAG_OPEN_REPARSE_POINT;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    LOCK_FILE = CreateFileW(wide.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, LOCKING, nullptr);
    if (LOCK_FILE != INVALID_HANDLE_VALUE) return LockTry::HELD;
    const DWORD error = GetLastError();
    if (error == ERROR_WRITE_PROTECT) return LockTry::READ_ONLY;
    if (error != ERROR_ACCESS_DENIED) return LockTry::TAKEN;
    // Denied with nothing there: no files may be made here. Once may be the
    // moment the last holder's file, pending deletion, went: so twice.
    const DWORD attributes = GetFileAttributesW(wide.text);
    if (attributes == INVALID_FILE_ATTRIBUTES && IS_ABSENT(LAST_ERROR()))
      continue;
    // A folder or junction is no lock: RemoveDirectory takes it (as itself).
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return RemoveDirectoryW(wide.text) ? LockTry::STALE_REMOVED
                                         : LockTry::BLOCKED;
    return LockTry::TAKEN;  // a file this user may not open, or one going
  }
  return LockTry::READ_ONLY;
}
// Closing deletes the file; if it fails, the process's end does.
void RELEASE_LOCK() {
  const Handle lock{std::exchange(LOCK_FILE, INVALID_HANDLE_VALUE)};
}

// The listing gives each reparse point's tag (dwReserved0): nothing opened.
int32_t LIST_FOLDER(const char* folder, VisitEntry visit, void* context) {
  WidePath pattern;
  if (const int32_t status = LONG_PATH(folder, pattern)) return status;
  if (!pattern.END_FOLDER() || !pattern.ADD(L"*"))
    return ERROR_FILENAME_EXCED_RANGE;
  WIN32_FIND_DATAW data;
  const Handle search{FindFirstFileExW(pattern.text, FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, 0),
                      Handle::FIND_CLOSE};
  // A drive's root lists no "." and "..": nothing found is an empty folder.
  if (!search.OPEN())
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : LAST_ERROR();
  char name[MAX_PATH * 3 + 1];  // MAX_PATH UTF-16 units, 3 bytes at most each
  do {
    const std::wstring_view found = data.cFileName;
    if (found == L"." || found == L"..") continue;
    if (const int32_t status = UTF8_OF(data.cFileName, name)) return status;
    const bool plain = IS_PLAIN(data.dwFileAttributes, data.dwReserved0);
    visit({name, plain,
           plain ? JOINED(data.nFileSizeHigh, data.nFileSizeLow) : 0},
          context);
  } while (FindNextFileW(search.handle, &data));
  return GetLastError() == ERROR_NO_MORE_FILES ? 0 : LAST_ERROR();
}

// Handed back without the long-path prefix, as a person would write it.
int32_t FULL_FOLDER_PATH(const char* folder, Path& full) {
  WidePath wide;
  char text[PATH_CAPACITY];
  if (const int32_t status = LONG_PATH(folder, wide)) return status;
  const DWORD attributes = GetFileAttributesW(wide.text);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LAST_ERROR();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  if (const int32_t status = LONG_PATH(folder, wide, false)) return status;
  if (!wide.END_FOLDER()) return ERROR_FILENAME_EXCED_RANGE;
  if (const int32_t status = UTF8_OF(wide.text, text)) return status;
  full = Path(text);
  return full.FITS() ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

// No access, all sharing, BACKUP_SEMANTICS (for a folder): nobody disturbed.
// The 128-bit id, else the 64-bit index (older servers, Wine).
int32_t SAME_FOLDER(const char* first, const char* second, bool& same) {
  FILE_ID_INFO ids[2];
  const char* const paths[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    WidePath wide;
    if (const int32_t status = LONG_PATH(paths[i], wide)) return status;
    const Handle folder{CreateFileW(
        wide.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (!folder.OPEN()) return LAST_ERROR();
    if (GetFileInformationByHandleEx(folder.handle, FileIdInfo, &ids[i],
                                     sizeof ids[i]))
      continue;
    FileFacts facts;
    if (const int32_t status = FACTS_BY(folder.handle, facts)) return status;
    ids[i] = {facts.volume, {}};
    std::memcpy(ids[i].FileId.Identifier, &facts.file, sizeof facts.file);
  }
  constexpr FILE_ID_128 NONE{};
  same = std::memcmp(&ids[0], &ids[1], sizeof ids[0]) == 0 &&
         std::memcmp(&ids[0].FileId, &NONE, sizeof NONE) != 0;
  return 0;
}

// From the attributes alone: every reparse point is told as a link.
void DESCRIBE(const char* path, std::span<char> text) {
  WidePath wide;
  const DWORD attributes = LONG_PATH(path, wide) == 0
                               ? GetFileAttributesW(wide.text)
                               : INVALID_FILE_ATTRIBUTES;
  PUT_TEXT(attributes == INVALID_FILE_ATTRIBUTES              ? "nothing"
           : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? "a link"
           : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0     ? "a folder"
                                                              : "a file",
           text);
}
// The system's sentence without its full stop and line break; without one,
// the number (to_chars: printf would grow both executables).
void ERROR_TEXT(int32_t status, std::span<char> text) {
  wchar_t said[512];
  DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(status), 0, said,
                     sizeof said / sizeof said[0], nullptr);
  while (length > 0 && std::wcschr(L"\r\n .", said[length - 1]) != nullptr)
    --length;
  said[length] = L'\0';
  char words[sizeof said / sizeof said[0] * 3];
  if (length > 0 && UTF8_OF(said, words) == 0) return PUT_TEXT(words, text);
  char number[24] = "error ";
  const auto [end, _] = std::to_chars(number + 6, number + sizeof number,
                                      static_cast<uint32_t>(status));
  PUT_TEXT({number, end}, text);
}
// NTFS, ReFS and file shares compare names ignoring case.
bool NAMES_IGNORE_CASE() { return true; }
// A console answers GetConsoleMode; a file or a pipe does not.
bool ERRORS_GO_TO_TERMINAL() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}
// The system clock (UTC); a count that never goes back nor wraps (the 32-bit
// GetTickCount does after 49 days); a pause.
int64_t SECONDS_NOW() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return SECONDS_OF(now);
}
uint64_t MONOTONIC_MS() { return GetTickCount64(); }
void PAUSE_MS(uint32_t ms) { Sleep(ms); }

// What DELETE_UNSHARED set aside here is marked again (a killed run may have
// left one unmarked), or deleted where it can be; what is held stays.
void REMOVE_SET_ASIDE_FILES() {
  WidePath pattern;  // then each file found, in place of the pattern
  if (LONG_PATH(".", pattern) != 0 || !pattern.END_FOLDER()) return;
  const std::size_t folder = pattern.length;
  if (!pattern.ADD(L"*") || !pattern.ADD(ASIDE_SUFFIX)) return;
  WIN32_FIND_DATAW found;
  const Handle search{FindFirstFileExW(pattern.text, FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0),
                      Handle::FIND_CLOSE};
  if (!search.OPEN()) return;  // none, the usual case
  do {
    pattern.length = folder;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !IS_ASIDE_NAME(found.cFileName) || !pattern.ADD(found.cFileName))
      continue;
    const Handle file{OPEN_FOR_DELETE(pattern.text)};
    if (file.OPEN() && !DELETE_POSIX(file.handle))
      static_cast<void>(MARK_FOR_DELETION(file.handle));  // cleaning up only
  } while (FindNextFileW(search.handle, &found));
}

// The user32 call itself: modal, back once the user has dismissed it.
int32_t MessageBoxA(void* owner, const char* text, const char* caption,
                    uint32_t style) {
  return ::MessageBoxA(static_cast<HWND>(owner), text, caption, style);
}

}  // namespace platform
