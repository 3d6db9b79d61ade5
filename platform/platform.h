// The operations the update run needs from the operating system: four file
// routines, a stamp, the API entry called before every box, the message box,
// and a lock that keeps two runs in one folder apart. One implementation file
// per platform (posix.cpp, win32.cpp); tests link a fake in their place.
//
// Every routine is synchronous and returns a 32-bit status: zero for
// success, anything else for failure. Callers tell only zero from non-zero;
// the non-zero values are the native error codes (errno, GetLastError), kept
// for whoever debugs a run.
//
// A file name is handed over as its whole fixed-width field: the name ends at
// the field's first space (or at its end), holds no folder, and resolves
// against the current working directory. A field whose name is empty or does
// not fit the platform's limits fails the call.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace platform {

inline constexpr std::size_t FILE_DETAILS_SIZE = 16;

// Zero exactly when `name` is an existing regular file. A directory, FIFO,
// socket, device or symbolic link counts as absent: a delivery must be a
// plain file. On success `details` receives the file's size (8 bytes) and
// its last modification time in seconds since 1970 (8 bytes), both in
// machine byte order; on failure it is unchanged.
int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details);

// Zero when `name` does not exist afterwards, including when it never
// existed. Never deletes a directory. A read-only or locked file fails; the
// read-only attribute is never cleared. A sharing violation or a busy file is
// retried for about a second before the call gives up.
int32_t CBL_DELETE_FILE(std::string_view name);

// Zero when `source` now stands under `target`. Never replaces an existing
// `target`: that fails, as does a missing `source`. Retried like a delete.
int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target);

// Zero when `target` holds exactly the content of `source` (and, on POSIX,
// its permission bits); `source` is never changed, an existing `target` is
// replaced. The data goes to a temporary file in the same folder, named
// `target` followed by ".tmp", is flushed to disk and only then renamed onto
// `target`, so `target` never holds a partial file; the temporary is removed
// on any failure. A source that is not a regular file fails at once. The
// final rename is retried like a delete.
int32_t CBL_COPY_FILE(std::string_view source, std::string_view target);

// Fills `stamp` with eight upper-case hexadecimal digits of the current time
// in seconds since 1970, UTC: characters that may stand in a file name.
void GET_STAMP(std::span<char, 8> stamp);

// The API library entry called before every message box. Returns 0.
int32_t cob32api();

// Shows a modal message box and returns once the user has dismissed it.
// `text` and `caption` end at their zero byte. Windows: the user32 call of
// the same name. POSIX: writes "[caption] information" (or "error"), the
// text and "[OK]" to standard error, each on its own line, waits for Enter
// when standard input is a terminal, and returns 1 (IDOK).
int32_t MessageBoxA(void* owner, const char* text, const char* caption,
                    uint32_t style);

// Takes the exclusive lock on the lock file `name` in the current working
// directory, creating the file, and waits (polling) while another process
// holds it. Zero when the lock is held; non-zero when the file cannot be
// made or something other than a plain file stands under its name, in which
// case nothing is held. The lock is released, and the file
// removed, by RELEASE_FOLDER_LOCK, or by the system when the process ends.
int32_t ACQUIRE_FOLDER_LOCK(std::string_view name);
void RELEASE_FOLDER_LOCK();

}  // namespace platform
