// What the update run and the delivery program need from the operating
// system, in two sections:
//
// 1. The update run's routines: file names handed over as fixed-width
//    fields, relative to the current folder; and below the primitives, the
//    routines on whole paths that they and the delivery program share. Both
//    written once, in platform.cpp, over the primitives.
// 2. The primitives: whole paths in UTF-8 (absolute, or relative to the
//    current folder), the same signatures on both platforms, one native file
//    each (posix.cpp, win32.cpp) that holds only system calls and the
//    mapping of their errors. Where the platforms differ, the declaration
//    says so.
//
// Every call is synchronous and returns a 32-bit status: zero for success,
// else the native error code (errno, GetLastError), kept for whoever debugs
// a run. The primitives map a native error where it comes in, so that
// IS_ABSENT and IS_HELD tell the routines above what it means. The unit
// tests link fakes in their place (tests/fake_*_for_testing.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace platform {

// ---------------------------------------------------------------------------
// 1. The update run's routines.
//
// A file name is handed over as its whole fixed-width field: the name ends
// at the field's first space (or at its end) and holds no folder. A field
// whose name is empty or holds a separator fails the call.
//
// Every routine that changes a name retries a file that another process
// holds for a moment (ten tries, 100 ms apart), and looks again at a change
// that reports failure: it counts as done when the name is free (a delete)
// or the source is gone and the target stands (a rename), since a file
// server may carry a request out and lose its reply.

inline constexpr std::size_t FILE_DETAILS_SIZE = 16;

// Zero when `name` is an existing plain file. Non-zero only when it is
// certainly not one: nothing stands there, or a folder, FIFO, socket, device
// or link does. Any other failure of the look-up (access denied, a stale
// file handle, a network error) counts the file as there, so that the next
// call on it fails loudly instead of passing a delivery over. `details`
// receives the size (8 bytes) and the last modification time in seconds
// since 1970 (8 bytes), in machine byte order; zeros when the file counts as
// there unseen; unchanged otherwise.
int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details);

// Zero when `name` does not exist afterwards, including when it never
// existed; see DELETE_NOW.
int32_t CBL_DELETE_FILE(std::string_view name);

// Zero when `source` now stands under `target`. Never replaces an existing
// `target`: that fails, as does a missing `source`. Windows: a file that
// others hold with delete sharing (a running program's loaded library) is
// renamed all the same; a holder without it blocks.
int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target);

// Zero when `target` holds exactly the content of `source`, put in place by
// STAGE_COPY and PUT_IN_PLACE through the temporary `target` + ".tmp".
int32_t CBL_COPY_FILE(std::string_view source, std::string_view target);

// Zero when `name` is a plain file that can be opened for reading while
// nobody writes to it (OPEN_FOR_READING, retried while held).
int32_t CHECK_FILE_READABLE(std::string_view name);

// Zero when `name` could be deleted or replaced now, or nothing stands
// there (CHECK_DELETABLE, retried while held). Nothing about the file
// changes, so an interruption at any moment leaves it as it was.
int32_t CHECK_FILE_DELETABLE(std::string_view name);

// Removes what earlier deletes in the current folder had to leave aside and
// may go now (see DELETE_NOW); what is still held stays for a later run.
// Never fails: the names are nobody's but this layer's.
void REMOVE_SET_ASIDE_FILES();

// Eight upper-case hexadecimal digits of the current time in seconds since
// 1970, UTC: characters that may stand in a file name.
void GET_STAMP(std::span<char, 8> stamp);

// The API library entry called before every message box. Returns 0.
int32_t cob32api();

// Shows a modal message box and returns once the user has dismissed it.
// `text` and `caption` end at their zero byte. Windows: the user32 call of
// the same name. POSIX: writes "[caption] information" (or "error"), the
// text and "[OK]" to standard error in one write, waits for Enter when
// standard input is a terminal, and returns 1 (IDOK).
int32_t MessageBoxA(void* owner, const char* text, const char* caption,
                    uint32_t style);

enum class FolderLock {
  HELD,              // this process holds the lock until RELEASE_FOLDER_LOCK
  FOLDER_READ_ONLY,  // no lock file can be made here, nor anything changed
  NOT_HAD,           // another holder kept it for the whole wait
  BLOCKED,           // what stands at the lock's name is no file and stays
};

// Takes the exclusive lock on the lock file `name` in the current folder
// (TAKE_FOLDER_LOCK).
FolderLock ACQUIRE_FOLDER_LOCK(std::string_view name, uint32_t wait_limit_ms);
// Takes the lock at `path`, polling every 100 ms while another process holds
// it, and gives up with NOT_HAD after `wait_limit_ms` in all (TRY_LOCK).
FolderLock TAKE_FOLDER_LOCK(const char* path, uint32_t wait_limit_ms);
// Lets go of the lock (RELEASE_LOCK); nothing when none is held.
void RELEASE_FOLDER_LOCK();

// ---------------------------------------------------------------------------
// Whole paths: a fixed-capacity, zero-terminated UTF-8 path that reports
// overflow instead of cutting it short.

inline constexpr std::size_t PATH_CAPACITY = 4096;

class Path {
 public:
  Path() = default;
  explicit Path(std::string_view text) { APPEND(text); }
  // Appends `text`; a text that does not fit, or holds a zero byte, leaves
  // the path unusable (FITS false) for good.
  Path& APPEND(std::string_view text);
  bool FITS() const { return fits_ && size_ > 0; }
  const char* CHARS() const { return text_; }
  std::string_view VIEW() const { return {text_, size_}; }

 private:
  char text_[PATH_CAPACITY] = {};
  std::size_t size_ = 0;
  bool fits_ = true;
};

// An open file that closes itself: a descriptor (POSIX) or a handle
// (Windows); none when `native` is -1. CLOSE reports what closing says (a
// written file's last errors may show only there).
class OpenFile {
 public:
  OpenFile() = default;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { static_cast<void>(CLOSE()); }  // after CLOSE: nothing left
  int32_t CLOSE();
  bool IS_OPEN() const { return native != -1; }
  intptr_t native = -1;
};

// What tells two states of a file apart without reading it, and which file
// it is: its size, the time of its last change (POSIX: the inode's change
// time in nanoseconds, which no program can set back; Windows: the last
// write time in 100-nanosecond ticks), and its identity (POSIX: device and
// inode; Windows: volume serial number and file index; zero where the file
// system gives none).
struct FileFacts {
  uint64_t size = 0;
  int64_t changed = 0;
  uint64_t volume = 0;
  uint64_t file = 0;
  bool holes = false;  // Windows: marked sparse; POSIX: always false
  bool operator==(const FileFacts&) const = default;
  bool SAME_FILE_AS(const FileFacts& other) const {
    return file != 0 && volume == other.volume && file == other.file;
  }
};

// ---------------------------------------------------------------------------
// 2. The primitives.

// Whether a status says that nothing stands at the path (or the folder it
// names): the one failure that means a file is certainly not there.
bool IS_ABSENT(int32_t status);
// Whether a status says that another process holds the file against this
// use, which a moment may change (Windows: a sharing or lock violation, and
// access denied on a file that is neither read-only nor a folder, as while
// its deletion is pending; POSIX: EBUSY, ETXTBSY).
bool IS_HELD(int32_t status);
// The statuses the routines above give of their own: nothing stands there
// (IS_ABSENT), and a name or file they refuse (not a plain file, a name that
// cannot be one).
extern const int32_t STATUS_ABSENT;
extern const int32_t STATUS_INVALID;

enum class Kind {
  PLAIN_FILE,
  ABSENT,  // nothing stands there
  OTHER,   // a folder, link, FIFO, socket or device
  UNSEEN,  // the look-up failed otherwise: there may be anything
};
struct Look {
  Kind kind = Kind::UNSEEN;
  uint64_t size = 0;       // of a plain file
  int64_t modified_s = 0;  // of a plain file, seconds since 1970
};
// What stands at `path`, a link looked at as itself. Windows: a reparse
// point is a link only when REPARSE_TAG_LEADS_ELSEWHERE says so; a
// deduplicated, compressed, tiered or cloud file is the plain file it is.
Look LOOK_AT(const char* path);

// The facts of the file at `path`, looked at as itself (a link's own).
// Windows: opened for no access with all sharing, which disturbs no holder.
int32_t FACTS_AT(const char* path, FileFacts& facts);
// Whether telling a file's identity by its name takes an open (Windows) or
// comes with a look-up (POSIX): a rename that never replaces is then known
// done after a lost reply by its target having been free before it.
extern const bool IDENTITY_COSTS_AN_OPEN;

// Windows: whether a reparse point with this tag leads elsewhere. Only name
// surrogates do (symbolic links, junctions, mount points).
constexpr bool REPARSE_TAG_LEADS_ELSEWHERE(uint32_t tag) {
  constexpr uint32_t NAME_SURROGATE_BIT = 0x2000'0000;
  return (tag & NAME_SURROGATE_BIT) != 0;
}

enum class Caching {
  USE_CACHE,
  // Data the system still caches from a recent write is passed by (Windows:
  // unbuffered reads; POSIX: O_DIRECT, or where the file system refuses it,
  // the flushed file's cached pages dropped first).
  FROM_DISK,
};
// Opens the plain file at `path` for reading, as itself, and fills `facts`:
// a link, folder or FIFO fails without being followed or waited on. Windows:
// read sharing only, so a file still being written fails (IS_HELD) and no
// writer can start while it is open. POSIX has no share modes: compare the
// facts before and after reading.
int32_t OPEN_FOR_READING(const char* path, Caching caching, OpenFile& file,
                         FileFacts& facts);
// Reads up to buffer.size() bytes at the file's position; `got` 0 at the
// end. For a file opened FROM_DISK, the buffer's address and size must be
// multiples of READ_ALIGNMENT.
inline constexpr std::size_t READ_ALIGNMENT = 4096;
int32_t READ_SOME(const OpenFile& file, std::span<unsigned char> buffer,
                  std::size_t& got);
// The facts of an open file as they stand now.
int32_t FACTS_OF(const OpenFile& file, FileFacts& facts);

enum class Readers { AS_SOURCE, EVERYONE };
// Creates `path` for writing; fails when anything stands there, a dangling
// link too (nothing is ever written through a link). POSIX: the permission
// bits of `like` but set-user/group-ID and write for group and others, plus
// reading for everyone when asked. Windows: the folder's permissions.
int32_t CREATE_NEW_FILE(const char* path, const OpenFile& like, Readers readers,
                        OpenFile& file);
// Writes all of `data` at the file's position.
int32_t WRITE_ALL(const OpenFile& file, std::span<const unsigned char> data);
// Copies the first `size` bytes of `in` to `out`, from the start, and ends
// `out` there; a source that comes out shorter fails. POSIX: the kernel's
// copy, one stretch of data at a time, so holes stay holes. Windows: read
// and written in pieces, and `out` takes the source's last write time.
int32_t COPY_DATA(const OpenFile& in, const OpenFile& out, uint64_t size);
// Writes the file's data through every cache (a file server's too) to disk.
int32_t FLUSH_FILE(const OpenFile& file);

enum class Replacing { NO, YES };
// Renames `source` to `target` in one step. Replacing::NO fails when
// anything stands at `target` (POSIX: a hard link and an unlink where the
// file system lacks RENAME_NOREPLACE). Replacing::YES replaces a file there:
// `target` holds its old content or the new, never neither. Windows:
// MOVEFILE_WRITE_THROUGH when replacing, and a read-only target fails (Wine
// replaces it, as POSIX does whatever the file's mode); a holder of the file
// without delete sharing blocks the rename.
int32_t RENAME(const char* source, const char* target, Replacing replacing);
// Puts the folder's latest changes of names beside `path` on disk. POSIX:
// the folder is flushed; Windows: nothing (the renames write through).
int32_t FLUSH_FOLDER_OF(const char* path);

// Deletes `path` so that the name is free at once and stays free; never a
// folder; a link as itself. A read-only file fails, and the attribute is
// never cleared; on failure nothing is left marked for deletion. Windows: a
// file held open in any share mode counts as held (IS_HELD), even one shared
// for deletion. A holder of attributes only (an indexer, a backup agent)
// takes no part in sharing, so the name is freed by POSIX-semantics deletion
// where the file system has it, elsewhere by renaming the file, marked, to
// "<name>.<8 hex digits>.deleted" beside it, until that holder lets go
// (REMOVE_SET_ASIDE_FILES). POSIX: the name goes whoever holds the file.
int32_t DELETE_NOW(const char* path);
// Deletes a temporary of this layer's own, whatever its attributes (a
// read-only one left by a killed copy would block every later copy), as
// DELETE_NOW otherwise.
int32_t DELETE_TEMPORARY(const char* path);

// Zero when the file at `path` could be deleted or replaced now: nobody
// holds it, it is not read-only, not a folder, and the folder lets this user
// delete in it. Windows: opened as itself for DELETE and for writing its
// data with no sharing, then closed: a holder in any share mode refuses the
// first; a read-only file and a running program's image (mapped, even with
// no handle open: a client started on the file server's own machine) refuse
// the second. POSIX: no share modes and no running-image lock on unlink; the
// immutable and append-only flags, a folder and an unwritable folder fail.
int32_t CHECK_DELETABLE(const char* path);

enum class LockTry {
  HELD,           // this process holds the lock now
  TAKEN,          // another holds it, or it cannot be opened: try later
  READ_ONLY,      // this user may not create the lock file in the folder
  STALE_REMOVED,  // something no lock file stood there and went: try again
  BLOCKED,        // something no lock file stands there and stays
};
// One try at the lock file `path`, created so that every user of the folder
// can open it (whatever the umask). A lock file that stands there but cannot
// be opened or locked counts as taken, never as absent. Anything at the name
// that is not a plain file (POSIX: a folder, FIFO or any link; Windows: a
// folder or a link to one) is removed, a link as itself. Windows: the file
// is opened with no sharing and delete-on-close; share modes hold across
// machines on a file server. POSIX: flock on a file opened for writing,
// which NFS needs; the file is removed on release, and a killed holder's
// file by the next holder.
LockTry TRY_LOCK(const char* path);
void RELEASE_LOCK();

// Calls `visit` for every entry of `folder` but "." and "..", in no
// particular order; links are not followed; an entry removed meanwhile is
// passed over.
struct FolderEntry {
  std::string_view name;  // valid only during the visit
  bool plain_file;  // not a folder, link (reparse point), FIFO, socket, device
  uint64_t size;    // of a plain file; 0 otherwise
};
using VisitEntry = void (*)(const FolderEntry& entry, void* context);
int32_t LIST_FOLDER(const char* folder, VisitEntry visit, void* context);

// `folder` as an absolute path ending in a separator. POSIX: links
// resolved.
int32_t FULL_FOLDER_PATH(const char* folder, Path& full);
// `same` when both paths name one folder (POSIX: device and inode; Windows:
// volume serial number and 128-bit file id; a zero id counts as "not the
// same"). A folder reached through a file share and the same folder on the
// host are two folders here.
int32_t SAME_FOLDER(const char* first, const char* second, bool& same);

// What stands at `path`, for a person: "nothing", "a file", "a folder", "a
// link", "a FIFO", "a socket" or "a device", followed on POSIX by " owned by
// USER" (Windows names no owner: that would take the security API in).
void DESCRIBE(const char* path, std::span<char> text);
// The system's words for a status, zero-terminated, cut short to fit.
void ERROR_TEXT(int32_t status, std::span<char> text);
// Whether the folder's file system tells names apart by case alone.
// Windows: no. POSIX: yes.
bool NAMES_IGNORE_CASE();
// Whether standard error is a terminal, where a progress line can be
// redrawn.
bool ERRORS_GO_TO_TERMINAL();

// Seconds since 1970, UTC.
int64_t SECONDS_NOW();
// Milliseconds on a clock that never goes back.
uint64_t MONOTONIC_MS();
void PAUSE_MS(uint32_t ms);

// ---------------------------------------------------------------------------
// Portable routines on whole paths, over the primitives: the update run's
// routines above are these on the names in the current folder, and the
// delivery program calls them directly.

// The retry of section 1: `call` (returning a status) is made again while
// IS_HELD says another process holds the file, ten tries 100 ms apart.
template <typename Call>
int32_t WITH_BUSY_RETRY(Call call) {
  constexpr int BUSY_RETRY_TRIES = 10;
  constexpr uint32_t BUSY_RETRY_PAUSE_MS = 100;
  for (int attempt = 1;; ++attempt) {
    const int32_t status = call();
    if (status == 0 || !IS_HELD(status) || attempt == BUSY_RETRY_TRIES)
      return status;
    PAUSE_MS(BUSY_RETRY_PAUSE_MS);
  }
}

// DELETE_NOW, retried and looked at again; zero also when nothing stood
// there.
int32_t REMOVE(const char* path);

// What a staged copy does with each piece of the data as it passes, and with
// the finished temporary before it is put in place; and where it failed.
// Without `piece`, the data goes by COPY_DATA, never through this process.
enum class Step { NONE, SOURCE, TEMPORARY, READ, WRITE, CHANGED, PIECE, CHECK };
struct Staging {
  // Sees each piece, read into `buffer`; a non-zero status fails the copy.
  int32_t (*piece)(std::span<const unsigned char> data,
                   void* context) = nullptr;
  std::span<unsigned char> buffer;  // READ_ALIGNMENT-aligned, for `piece`
  // Checks the flushed temporary; a non-zero status fails the copy.
  int32_t (*check)(const char* temporary, const FileFacts& written,
                   void* context) = nullptr;
  void* context = nullptr;
  // Who may read the temporary (CREATE_NEW_FILE): a delivery is read by
  // every user's update run.
  Readers readers = Readers::AS_SOURCE;
  // Set by STAGE_COPY on failure: opening the source, making the temporary,
  // reading, writing or flushing, the source changing (or coming out short)
  // while read, `piece`, `check`.
  Step failed = Step::NONE;
};
// Stages the plain file `source` under `temporary`: made afresh on the name
// itself (whatever stood there removed first by DELETE_TEMPORARY), written,
// checked to be as long as the source was when opened, flushed to disk, and
// checked by `staging`. `written` receives the temporary's facts. The
// source is held open for reading throughout (Windows: writers shut out).
// Windows: a source marked sparse fails rather than be written out in full.
// On failure the temporary is removed.
int32_t STAGE_COPY(const char* source, const char* temporary, Staging& staging,
                   FileFacts& written);
// Renames the staged `temporary` over `target` and puts the rename on disk
// (FLUSH_FOLDER_OF), retried and looked at again (the target must hold the
// file `written`). On failure the temporary is removed.
int32_t PUT_IN_PLACE(const char* temporary, const char* target,
                     const FileFacts& written);

}  // namespace platform
