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
// not fit the platform's limits fails the call. Windows: the name is joined to
// the current directory here and passed as one long ("\\?\") path, so a
// folder whose path leaves no room within MAX_PATH for the longest name still
// works.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace platform {

inline constexpr std::size_t FILE_DETAILS_SIZE = 16;

// Zero when `name` is an existing regular file. Non-zero only when the name
// is certainly not one: nothing stands there, or a directory, FIFO, socket,
// device or link does; a delivery must be a plain file. Windows: a reparse
// point is a link only when REPARSE_TAG_LEADS_ELSEWHERE says so; a
// deduplicated, compressed, tiered or cloud file reads as the plain file it
// is. Any other failure of the look-up (access denied, a stale file
// handle, a network error) counts the file as there, so that the update's
// next call on it fails loudly instead of passing a delivery over as absent.
// When the file was found, `details` receives its size (8 bytes) and its last
// modification time in seconds since 1970 (8 bytes), in machine byte order;
// when it counts as there without being seen, zeros; otherwise it is
// unchanged.
int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details);

// Zero when `name` does not exist afterwards, including when it never
// existed: the name is free at once and stays free, and nothing is left to
// vanish later. Never deletes a directory; a link is removed, never followed.
// A read-only file fails at once; the read-only attribute is never cleared.
// A file that another process holds is retried for about a second (ten
// tries, 100 ms apart), then reported, and on failure nothing is left marked
// for deletion. Windows: a file held open in any share mode counts as held,
// even one shared for deletion. A holder of attributes only (an indexer, a
// backup agent, Explorer) takes no part in sharing, so the name is freed by
// POSIX-semantics deletion where the file system has it, and elsewhere by
// renaming the file, marked, to "<name>.<8 hex digits>.deleted" beside it,
// where it stays until that holder lets go (the eight digits tell apart the
// runs of different processes and machines). POSIX: the name goes whoever
// has the file open; only a busy file (EBUSY) is retried.
//
// Both, for every routine that changes a name: a change that reports
// failure is looked at again, and counts as done when the name is free (a
// delete) or the source is gone and the target stands (a rename): a file
// server may carry a request out and lose its reply.
int32_t CBL_DELETE_FILE(std::string_view name);

// Zero when `source` now stands under `target`. Never replaces an existing
// `target`: that fails, as does a missing `source`. Retried like a delete.
// Windows: a file that others hold with delete sharing (a running program's
// loaded library) is renamed all the same; a holder without it blocks.
int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target);

// Zero when `target` holds exactly the content of `source` (and, on POSIX,
// its permission bits but set-user/group-ID and group and other write);
// `source` is never changed, an existing `target` is replaced. The data goes
// to a temporary file in the same folder, named `target` followed by ".tmp",
// made afresh on the name itself (a left-over one is removed first whatever
// its attributes; nothing is written through a link), written, flushed to
// disk and only then renamed onto `target`, so `target` never holds a
// partial file; the temporary is removed on any failure. The source is
// opened as itself and checked on that handle: one that is not a regular
// file fails at once, and a copy that comes out shorter than the source was
// when opened fails. Holes stay holes (POSIX: each stretch of data is
// copied); Windows refuses a source marked sparse rather than write it out
// in full. Windows: the source is held open with writers shut out for the
// whole copy, so a file still being written fails the copy (after the
// retry) instead of being copied half-written; a virus scanner may read the
// temporary meanwhile, and the final rename retries its sharing violations;
// the copy never comes out read-only. POSIX has no share modes: a source
// still being written is copied as it stands.
int32_t CBL_COPY_FILE(std::string_view source, std::string_view target);

// Zero when `name` is a plain file that can be read while nobody writes to
// it: the check before a file in use is given up for it. Opened as itself:
// a link fails, never followed. Windows: opened for reading with read
// sharing only, so a writer still at work (or a holder that shares nothing)
// fails it after the retry. POSIX has no share modes: zero whenever the
// file can be opened for reading.
int32_t CHECK_FILE_READABLE(std::string_view name);

// Zero when `name` could be deleted or replaced now: nobody holds it, it is
// not read-only, it is no directory, and the folder lets this user delete in
// it; also zero when nothing stands there. Retried while held, like a
// delete. Nothing about the file changes, so an interruption at any moment
// leaves it as it was: the check before a file in use is replaced by a
// rename, which leaves no moment without it. Windows: opened, without
// following a link, for DELETE and for writing its data with no sharing, and
// closed: a holder in any share mode refuses the first, a read-only file and
// a program image that is running (mapped, even with no handle left open: a
// client started on the file server's own machine) refuse the second. POSIX:
// no share modes and no running-image lock on unlink; the immutable and
// append-only flags, a directory and an unwritable folder fail it.
int32_t CHECK_FILE_DELETABLE(std::string_view name);

// Removes what earlier deletes in the current directory had to leave aside
// and that may go now; one that is still held stays for a later run. Never
// fails: the names are no one's but this layer's. Windows: the
// "<name>.<8 hex digits>.deleted" files described at CBL_DELETE_FILE, of
// which a killed run may have left one unmarked. POSIX: nothing is ever left
// aside, so nothing is done.
void REMOVE_SET_ASIDE_FILES();

// Windows: whether a reparse point with this tag leads elsewhere. Only name
// surrogates do (symbolic links, junctions, mount points); deduplication,
// WOF compression, cloud files, HSM and unknown vendor tags keep the file's
// own data behind its name, so the file is a plain file.
constexpr bool REPARSE_TAG_LEADS_ELSEWHERE(uint32_t tag) {
  constexpr uint32_t NAME_SURROGATE_BIT = 0x2000'0000;
  return (tag & NAME_SURROGATE_BIT) != 0;
}

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

enum class FolderLock {
  HELD,              // this process holds the lock until RELEASE_FOLDER_LOCK
  FOLDER_READ_ONLY,  // no lock file can be made here, nor anything changed
  NOT_HAD,           // another holder kept it for the whole wait
  BLOCKED,           // what stands at the lock's name is no file and stays
};

// Takes the exclusive lock on the lock file `name` in the current working
// directory, creating the file so that every user of the folder can open it
// (whatever the umask), and waits, polling every 100 ms, while another
// process holds it; after `wait_limit_ms` in all it gives up with NOT_HAD.
// A lock file that stands there but cannot be opened or locked (another
// user's file this user may not write) counts as held, never as absent.
// Anything at the lock's name that is not a plain file (a folder, a FIFO, a
// link that the open does not take as the lock file: POSIX, any link;
// Windows, a link to a folder) is no lock of anyone's: it is removed (a link
// as itself, never its target) and the lock taken; one that will not go (a
// folder with files in it) gives BLOCKED at once. FOLDER_READ_ONLY only when
// this user may not create the file in the folder at all, found out at
// once. The lock is released, and the file
// removed, by RELEASE_FOLDER_LOCK, or by the system when the process ends
// (POSIX: the lock; the file then stays and the next holder removes it).
// Windows: the file is opened with no sharing and delete-on-close; share
// modes hold across machines on a file server. POSIX: flock on a file opened
// for writing, which NFS needs.
FolderLock ACQUIRE_FOLDER_LOCK(std::string_view name, uint32_t wait_limit_ms);
void RELEASE_FOLDER_LOCK();

}  // namespace platform

// ---------------------------------------------------------------------------
// The delivery program's operations (TalvenClient_DELIVER). Unlike the
// routines above, these take whole paths in UTF-8, absolute or relative to
// the current directory, and a name that holds a space is a name like any
// other. The delivery computes its checksums itself, from the data these
// routines read and write: the update run never needs a checksum, so its
// executable links no hashing library. Like the routines above, these
// allocate nothing, so that the update executable, which links them too,
// carries no more of the C++ library than it did.

namespace platform {

// Room for a whole path in UTF-8 and its zero byte: a longer one fails.
inline constexpr std::size_t WHOLE_PATH_CAPACITY = 32'768;

// An open file: a descriptor (POSIX) or a handle (Windows); -1 for none.
struct OpenFile {
  intptr_t native = -1;
};

// What tells two states of a file's content apart without reading it: its
// size and the time of its last change (POSIX: the inode's change time, in
// nanoseconds, which no program can set back; Windows: the last write time,
// in 100-nanosecond ticks). Two equal facts taken before and after a read
// mean nobody wrote to the file meanwhile.
// The facts also say which file it is (POSIX: device and inode; Windows:
// volume serial number and file index), so that a file checked through one
// open can be known again under a name.
struct FileFacts {
  uint64_t size = 0;
  int64_t changed = 0;
  uint64_t volume = 0;
  uint64_t file = 0;
  bool operator==(const FileFacts&) const = default;
  bool SAME_FILE_AS(const FileFacts& other) const {
    return file != 0 && volume == other.volume && file == other.file;
  }
};

struct FolderEntry {
  std::string_view name;  // valid only during the visit
  bool plain_file;  // not a folder, link (reparse point), FIFO, socket, device
  uint64_t size;    // of a plain file; 0 otherwise
};
using VisitEntry = void (*)(const FolderEntry& entry, void* context);

// Writes `folder` as an absolute path ending in the platform's separator,
// zero-terminated, into `full`, so that a name appended to it is a path;
// non-zero when it is not a folder that can be reached, or does not fit.
// POSIX: links resolved (realpath).
int32_t FULL_FOLDER_PATH(std::string_view folder, std::span<char> full);

// `same` is true when both paths name one folder (POSIX: same device and
// inode; Windows: same volume serial number and 128-bit file id, which ReFS
// keeps unique where the 64-bit index is not; an id the file system gives
// as zero tells nothing, and counts as "not the same"). A folder reached
// through a file share and the same folder on the host itself are two
// folders here.
int32_t SAME_FOLDER(std::string_view first, std::string_view second,
                    bool& same);

// Calls `visit` for every entry of `folder` but "." and "..", in no
// particular order; links are not followed. After a failure some entries
// may have been visited.
int32_t LIST_FOLDER(std::string_view folder, VisitEntry visit, void* context);

// Makes `folder` the current directory.
int32_t ENTER_FOLDER(std::string_view folder);

enum class Caching {
  USE_CACHE,
  // Data the system still caches from a recent write is passed by (Windows:
  // unbuffered reads; POSIX: O_DIRECT, or where the file system refuses it,
  // the flushed file's cached pages dropped first), so that what is read
  // comes from the disk or the file server.
  FROM_DISK,
};

// Opens the plain file at `path` for reading and fills `facts`; a link, a
// folder or a FIFO fails (POSIX: EINVAL) without being followed or waited
// on. Windows: writers are shut out for as long as the file is open (read
// sharing only), so a file still being written fails after the usual
// retries, and no writer can start. POSIX has no share modes: compare the
// facts before and after reading.
int32_t OPEN_FOR_READING(std::string_view path, Caching caching, OpenFile& file,
                         FileFacts& facts);

// Reads up to buffer.size() bytes at the file's position; `got` 0 at the end
// of the file. For a file opened FROM_DISK, the buffer's address and size
// must be multiples of READ_ALIGNMENT (Windows reads unbuffered).
inline constexpr std::size_t READ_ALIGNMENT = 4096;
int32_t READ_SOME(OpenFile file, std::span<unsigned char> buffer,
                  std::size_t& got);

// The facts of an open file as they stand now.
int32_t FACTS_OF(OpenFile file, FileFacts& facts);

// Creates `path` for writing; fails when anything stands there (nothing is
// ever written through a link). POSIX: the permission bits of `like` (an
// open file), plus reading for every user, whose update runs must read it.
int32_t CREATE_NEW_FILE(std::string_view path, OpenFile like, OpenFile& file);

// Writes all of `data` at the file's position.
int32_t WRITE_ALL(OpenFile file, std::span<const unsigned char> data);

// Writes the file's data through every cache (a file server's too) to disk.
int32_t FLUSH_FILE(OpenFile file);

// Closes `file` (a file not open is no error) and sets it to none; a
// written file's last errors may show only here.
int32_t CLOSE_FILE(OpenFile& file);

// Renames `source` to `target`, replacing a file that stands there, in one
// step: `target` holds either its old content or the new, never neither.
// Returns once the rename is on disk (POSIX: the folder is flushed;
// Windows: MOVEFILE_WRITE_THROUGH). A read-only `target` fails; a busy
// one is retried like a delete.
int32_t RENAME_REPLACING(std::string_view source, std::string_view target);

// Writes what stands at `path` into `text`, zero-terminated and cut short
// where it does not fit: "nothing", "a file", "a folder", "a link", "a FIFO",
// "a socket" or "a device", followed on POSIX by " owned by USER". Windows
// names no owner: that would take the security API into both executables.
void DESCRIBE(std::string_view path, std::span<char> text);

// Whether the client folder's file system tells names apart by case alone.
// Windows: no (NTFS, ReFS and file shares compare names ignoring case).
// POSIX: yes.
bool NAMES_IGNORE_CASE();

// True when `status` says that another process holds the file against this
// use (Windows: a sharing or lock violation, as while a file is still being
// written; POSIX: EBUSY or ETXTBSY).
bool HELD_BY_ANOTHER(int32_t status);

// True when standard error is a terminal (a console on Windows), where a
// progress line can be redrawn.
bool ERRORS_GO_TO_TERMINAL();

// Writes the system's words for a status returned by these routines into
// `text`, zero-terminated (cut short where they do not fit).
void ERROR_TEXT(int32_t status, std::span<char> text);

}  // namespace platform
