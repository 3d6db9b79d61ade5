// POSIX implementation of the platform operations (Linux). Only system calls
// and the mapping of their errors belong here: nothing about components,
// messages or the order of the update's steps. Each routine behaves as its
// Win32 counterpart does, so that one set of expectations holds for both.

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform.h"

namespace platform {
namespace {

// A file that is busy (a running program, a file in use on a network file
// system) is often let go a moment later; a delete or rename tries this many
// times, this far apart, before it reports failure.
constexpr int BUSY_RETRY_TRIES = 10;
constexpr useconds_t BUSY_RETRY_PAUSE_US = 100'000;
// Polling interval while another run holds the folder lock.
constexpr useconds_t LOCK_POLL_PAUSE_US = 100'000;

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

// The permission bits a copy may carry over: read and execute for all,
// write for the owner alone.
constexpr mode_t NO_WRITE_FOR_OTHERS = 0755;

// A name field's name as a zero-terminated path: up to the first space or
// the end of the field. Holds a name of up to 255 bytes plus a suffix.
struct Path {
  char text[NAME_MAX + 1 + TEMPORARY_SUFFIX.size()];
  bool ok;
};

Path NAME_OF(std::string_view field, std::string_view suffix = {}) {
  Path path{};
  const std::size_t end = std::min(field.find(' '), field.size());
  const std::string_view name = field.substr(0, end);
  path.ok = !name.empty() && name.size() + suffix.size() < sizeof path.text &&
            name.find('\0') == std::string_view::npos &&
            name.find('/') == std::string_view::npos;
  if (!path.ok) return path;
  std::memcpy(path.text, name.data(), name.size());
  std::memcpy(path.text + name.size(), suffix.data(), suffix.size());
  path.text[name.size() + suffix.size()] = '\0';
  return path;
}

bool IS_TRANSIENT(int error) { return error == EBUSY || error == ETXTBSY; }

// Runs `call` (a system call returning -1 on error) until it succeeds, fails
// for good, or stays busy for all tries. Returns 0 or the last errno.
template <typename Call>
int32_t WITH_BUSY_RETRY(Call call) {
  for (int attempt = 1;; ++attempt) {
    if (call() == 0) return 0;
    const int error = errno;
    if (error == EINTR) continue;
    if (!IS_TRANSIENT(error) || attempt == BUSY_RETRY_TRIES) return error;
    usleep(BUSY_RETRY_PAUSE_US);
  }
}

bool NOTHING_NAMED(const char* path) {
  struct stat st;
  return fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
         errno == ENOENT;
}

// Which file stands under a name: its device and inode; none where nothing
// can be seen there.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool known = false;
  bool operator==(const Identity&) const = default;
};
Identity IDENTITY_OF(const struct stat& st) {
  return {st.st_dev, st.st_ino, true};
}
Identity IDENTITY_AT(const char* path) {
  struct stat st;
  return fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0
             ? IDENTITY_OF(st)
             : Identity{};
}

// `status` of a change of a name, looked at again when it reports failure:
// a file server (NFS, CIFS) may carry out a request and lose its reply, and
// the change then stands. A delete is done when nothing stands under
// `gone`; a rename when nothing does and `stands` holds the file `moved`,
// which stood under `gone` before it.
int32_t LOOKED_AGAIN(int32_t status, const char* gone,
                     const char* stands = nullptr, Identity moved = {}) {
  if (status == 0 || !NOTHING_NAMED(gone)) return status;
  if (stands == nullptr) return 0;
  return moved.known && IDENTITY_AT(stands) == moved ? 0 : status;
}

// True when both names stand for one file; errno is kept.
bool SAME_FILE(const char* one, const char* other) {
  const int error = errno;
  const Identity first = IDENTITY_AT(one);
  const bool same = first.known && IDENTITY_AT(other) == first;
  errno = error;
  return same;
}

// Moves `source` to `target` unless `target` exists. Where the file system
// refuses RENAME_NOREPLACE, a hard link followed by removing the old name
// gives the same guarantee.
int RENAME_NO_REPLACE(const char* source, const char* target) {
  if (renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  if (linkat(AT_FDCWD, source, AT_FDCWD, target, 0) != 0 &&
      !SAME_FILE(source, target))  // a link reported failed may stand
    return -1;
  const int error = unlinkat(AT_FDCWD, source, 0) == 0 ? 0 : errno;
  // An unlink reported failed may have been done: then the rename is.
  if (error == 0 || NOTHING_NAMED(source)) return 0;
  // Back to one name, the source's, which still stands; a failure here
  // leaves the file under both names, which loses nothing.
  static_cast<void>(unlinkat(AT_FDCWD, target, 0));
  errno = error;
  return -1;
}

// Copies [from, to) of `in` to the same place in `out` with the kernel's
// copy, which clones where the file system can and keeps the data out of
// this process otherwise; falls back to sendfile where the two files' file
// systems cannot copy_file_range. A source that ends early (cut short while
// it was copied) fails with EIO: a short copy is no delivery.
bool COPY_RANGE(int in, int out, off_t from, off_t to,
                bool& use_copy_file_range) {
  constexpr off_t CHUNK = off_t{1} << 30;
  for (off_t at = from; at < to;) {
    const auto wanted = static_cast<std::size_t>(std::min(to - at, CHUNK));
    loff_t in_at = at, out_at = at;
    off_t sent_at = at;
    const ssize_t copied =
        use_copy_file_range
            ? copy_file_range(in, &in_at, out, &out_at, wanted, 0)
            : (lseek(out, at, SEEK_SET) < 0
                   ? -1
                   : sendfile(out, in, &sent_at, wanted));
    if (copied > 0) {
      at += copied;
      continue;
    }
    if (copied == 0) {
      errno = EIO;
      return false;
    }
    if (errno == EINTR) continue;
    if (use_copy_file_range && (errno == EXDEV || errno == ENOSYS ||
                                errno == EINVAL || errno == EOPNOTSUPP)) {
      use_copy_file_range = false;
      continue;
    }
    return false;
  }
  return true;
}

// Copies the `size` bytes of `in` (its size when it was opened) to `out`,
// one stretch of data at a time: a hole in the source (a sparse delivery,
// made with truncate) stays a hole, so that nobody's delivery fills the
// folder's disk at the cost of the user who runs the update. Stopping at
// `size` spares the call that would only find the end of the file. A
// source that is shorter now than `size` fails with EIO.
bool COPY_CONTENT(int in, int out, off_t size) {
  bool use_copy_file_range = true;
  for (off_t at = 0; at < size;) {
    off_t data = lseek(in, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole from here
    if (data < 0 && errno != EINVAL) return false;
    if (data < 0) data = at;  // no holes told apart here: all of it is data
    if (data >= size) break;
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0 && errno != EINVAL) return false;
    if (hole < 0 || hole > size) hole = size;
    if (!COPY_RANGE(in, out, data, hole, use_copy_file_range)) return false;
    at = hole;
  }
  struct stat now;
  if (fstat(in, &now) != 0) return false;
  if (now.st_size < size) {
    errno = EIO;
    return false;
  }
  // The holes at the end, and the copy's length.
  return ftruncate(out, size) == 0;
}

// Opens `path` for reading when it is a plain file, and fills `st`.
// O_NOFOLLOW: a link planted under the name is not followed out of the
// folder. O_NONBLOCK: opening a FIFO does not wait for a writer. Returns the
// descriptor, or -1 with `status` set (EINVAL for anything but a plain file).
int OPEN_PLAIN_FILE(const char* path, struct stat& st, int32_t& status) {
  const int fd =
      openat(AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    status = errno;
    return -1;
  }
  status = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (status == 0) return fd;
  close(fd);  // read-only: nothing to lose
  return -1;
}

int LOCK_FD = -1;
Path LOCK_NAME{};

uint64_t MONOTONIC_MS() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return static_cast<uint64_t>(now.tv_sec) * 1000 +
         static_cast<uint64_t>(now.tv_nsec) / 1'000'000;
}

// Opens the lock file for writing, which flock needs on NFS, creating it if
// need be. A file this run creates is made readable and writable for every
// user whatever the umask: the next user's run must be able to open it. An
// older lock file this user may only read is still opened, for reading,
// which flock accepts on a local disk. Returns the descriptor, or -1 with
// `error` set.
int OPEN_LOCK_FILE(const char* path, int& error) {
  constexpr int FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  constexpr mode_t EVERYONE_READ_WRITE = 0666;
  for (;;) {
    int fd = openat(AT_FDCWD, path, O_RDWR | O_CREAT | O_EXCL | FLAGS,
                    EVERYONE_READ_WRITE);
    if (fd >= 0) {
      // Best effort: a lock file others cannot open makes them wait for it
      // (within their limit) rather than go on unlocked.
      static_cast<void>(fchmod(fd, EVERYONE_READ_WRITE));
      return fd;
    }
    if (errno != EEXIST) break;
    fd = openat(AT_FDCWD, path, O_RDWR | FLAGS);
    if (fd < 0 && errno == EACCES)
      fd = openat(AT_FDCWD, path, O_RDONLY | FLAGS);
    if (fd >= 0) return fd;
    if (errno != ENOENT) break;  // gone meanwhile: make it afresh
  }
  error = errno;
  return -1;
}

// Takes the lock on `fd` without waiting; true when it is held on a plain
// file that still stands under `path`. The holder before us removes the
// file before it lets go; a lock on a file nobody else will open, or on
// something other than a file (a FIFO opens and locks as well), keeps no
// other run out.
bool LOCKED_UNDER_ITS_NAME(int fd, const char* path) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0)
    if (errno != EINTR) return false;
  struct stat held, named;
  return fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
         fstatat(AT_FDCWD, path, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details) {
  const Path path = NAME_OF(name);
  if (!path.ok) return ENOENT;
  struct stat st;
  if (fstatat(AT_FDCWD, path.text, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    // Only "nothing there" is certain absence. Any other failure (a stale
    // NFS handle, an I/O error, a folder this user may not search) counts
    // the file as there, so the next call on it fails loudly.
    if (errno == ENOENT || errno == ENOTDIR) return errno;
    std::memset(details.data(), 0, details.size());
    return 0;
  }
  if (!S_ISREG(st.st_mode)) return ENOENT;
  const int64_t size = st.st_size;
  const int64_t modified = st.st_mtim.tv_sec;
  std::memcpy(details.data(), &size, sizeof size);
  std::memcpy(details.data() + sizeof size, &modified, sizeof modified);
  return 0;
}

int32_t CBL_DELETE_FILE(std::string_view name) {
  const Path path = NAME_OF(name);
  if (!path.ok) return EINVAL;
  // unlink never removes a directory (it fails with EISDIR).
  const int32_t status =
      WITH_BUSY_RETRY([&] { return unlinkat(AT_FDCWD, path.text, 0); });
  return status == ENOENT ? 0 : LOOKED_AGAIN(status, path.text);
}

int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_OF(source);
  const Path to = NAME_OF(target);
  if (!from.ok || !to.ok) return EINVAL;
  const Identity moving = IDENTITY_AT(from.text);
  const int32_t status =
      WITH_BUSY_RETRY([&] { return RENAME_NO_REPLACE(from.text, to.text); });
  return LOOKED_AGAIN(status, from.text, to.text, moving);
}

int32_t CBL_COPY_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_OF(source);
  const Path to = NAME_OF(target);
  const Path temporary = NAME_OF(target, TEMPORARY_SUFFIX);
  if (!from.ok || !to.ok || !temporary.ok) return EINVAL;

  struct stat st;
  int32_t source_status = 0;
  const int in = OPEN_PLAIN_FILE(from.text, st, source_status);
  if (in < 0) return source_status;

  // A temporary left by a run that was killed mid-copy is ours to replace;
  // unlinking a link planted there removes the link, not what it points to.
  unlinkat(AT_FDCWD, temporary.text, 0);  // absence is the usual case
  const int out = openat(AT_FDCWD, temporary.text,
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         S_IRUSR | S_IWUSR);
  if (out < 0) {
    const int32_t status = errno;
    close(in);
    return status;
  }

  // The delivered file's permission bits, without set-user-ID or
  // set-group-ID (the copy belongs to whoever runs the update) and without
  // write for group and others: a delivery from a world-writable source
  // must not become a client executable that any user can rewrite.
  bool ok = COPY_CONTENT(in, out, st.st_size) &&
            fchmod(out, st.st_mode & NO_WRITE_FOR_OTHERS) == 0 &&
            fsync(out) == 0;
  int32_t status = ok ? 0 : errno;
  struct stat copied {};
  if (ok && fstat(out, &copied) != 0) {
    ok = false;
    status = errno;
  }
  if (close(out) != 0 && ok) {
    ok = false;
    status = errno;
  }
  close(in);  // read-only: nothing to lose
  // A target held on a file server (EBUSY) is retried like any rename.
  if (ok) {
    status = LOOKED_AGAIN(WITH_BUSY_RETRY([&] {
                            return renameat(AT_FDCWD, temporary.text, AT_FDCWD,
                                            to.text);
                          }),
                          temporary.text, to.text, IDENTITY_OF(copied));
    ok = status == 0;
  }
  if (!ok) unlinkat(AT_FDCWD, temporary.text, 0);  // best effort clean-up
  return ok ? 0 : (status != 0 ? status : EIO);
}

int32_t CHECK_FILE_READABLE(std::string_view name) {
  const Path path = NAME_OF(name);
  if (!path.ok) return EINVAL;
  struct stat st;
  int32_t status = 0;
  const int fd = OPEN_PLAIN_FILE(path.text, st, status);
  if (fd < 0) return status;
  close(fd);  // opened for reading only: nothing to lose
  return 0;
}

int32_t CHECK_FILE_DELETABLE(std::string_view name) {
  const Path path = NAME_OF(name);
  if (!path.ok) return EINVAL;
  struct stat st;
  if (fstatat(AT_FDCWD, path.text, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  // unlink needs write and search permission on the folder.
  if (faccessat(AT_FDCWD, ".", W_OK | X_OK, AT_EACCESS) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return 0;  // a link or the like: only its name
  // A file that cannot be opened here keeps its flags to itself; the rename
  // that replaces it will tell.
  const int fd = openat(AT_FDCWD, path.text,
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  int flags = 0;
  // A file system without these flags (NFS, say) has nothing that pins a name.
  const bool pinned = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
  close(fd);  // read-only: nothing to lose
  return pinned ? EPERM : 0;
}

// unlink frees a name at once, whoever holds the file: nothing is ever left
// aside here.
void REMOVE_SET_ASIDE_FILES() {}

void GET_STAMP(std::span<char, 8> stamp) {
  constexpr char DIGITS[] = "0123456789ABCDEF";
  auto seconds = static_cast<uint32_t>(std::time(nullptr));
  for (std::size_t i = stamp.size(); i-- > 0; seconds >>= 4)
    stamp[i] = DIGITS[seconds & 0xF];
}

int32_t cob32api() { return 0; }

int32_t MessageBoxA(void* /*owner*/, const char* text, const char* caption,
                    uint32_t style) {
  const char* kind = "message";
  switch (style & 0xF0) {  // MB_ICONMASK
    case 0x10:
      kind = "error";
      break;
    case 0x20:
      kind = "question";
      break;
    case 0x30:
      kind = "warning";
      break;
    case 0x40:
      kind = "information";
      break;
  }
  // One write, so that boxes of runs sharing a terminal do not interleave.
  char box[4096];
  const int length = std::snprintf(box, sizeof box, "[%s] %s\n%s\n[OK]\n",
                                   caption, kind, text);
  std::size_t left =
      length < 0 ? 0 : std::min<std::size_t>(length, sizeof box - 1);
  const char* p = box;
  while (left > 0) {
    const ssize_t written = write(STDERR_FILENO, p, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;  // a box that cannot be shown counts as dismissed
    p += written;
    left -= static_cast<std::size_t>(written);
  }
  if (isatty(STDIN_FILENO)) {
    char c;
    while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
    }
  }
  return 1;  // IDOK
}

namespace {

// What REMOVE_IF_STALE found at the lock's name.
enum class Stale { NONE, REMOVED, STAYS };

// Removes what stands at the lock's name when it is no lock file: a link
// (unlink never follows one), a FIFO, a socket, an empty folder.
Stale REMOVE_IF_STALE(const char* path) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISREG(st.st_mode))
    return Stale::NONE;
  const int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
  return unlinkat(AT_FDCWD, path, flags) == 0 || errno == ENOENT
             ? Stale::REMOVED
             : Stale::STAYS;
}

}  // namespace

FolderLock ACQUIRE_FOLDER_LOCK(std::string_view name, uint32_t wait_limit_ms) {
  const Path path = NAME_OF(name);
  const uint64_t start = MONOTONIC_MS();
  for (bool at_once = false;; at_once = false) {
    if (path.ok) {
      int error = 0;
      const int fd = OPEN_LOCK_FILE(path.text, error);
      if (fd >= 0) {
        if (LOCKED_UNDER_ITS_NAME(fd, path.text)) {
          LOCK_FD = fd;
          LOCK_NAME = path;
          return FolderLock::HELD;
        }
        close(fd);  // held by another run, or no longer the file named
      } else if (error == EROFS || ((error == EACCES || error == EPERM) &&
                                    NOTHING_NAMED(path.text))) {
        // This user may not create the lock file here, and so could change
        // nothing in the folder either.
        return FolderLock::FOLDER_READ_ONLY;
      }
      // What is no lock file goes, and the lock is tried again at once;
      // what will not go keeps every run out, and is said at once.
      const Stale stale = REMOVE_IF_STALE(path.text);
      if (stale == Stale::STAYS) return FolderLock::BLOCKED;
      at_once = stale == Stale::REMOVED;
      // Anything else at the lock's name that cannot be opened (another
      // user's file this user may not write) counts as held: going on
      // without the lock could let two runs in at once.
    }
    if (MONOTONIC_MS() - start >= wait_limit_ms) return FolderLock::NOT_HAD;
    if (!at_once) usleep(LOCK_POLL_PAUSE_US);
  }
}

void RELEASE_FOLDER_LOCK() {
  if (LOCK_FD < 0) return;
  // Removed while still held, so that no waiting run locks a file that is
  // about to vanish (it checks the name after locking).
  unlinkat(AT_FDCWD, LOCK_NAME.text, 0);  // a stale file only costs a retry
  close(LOCK_FD);
  LOCK_FD = -1;
}

}  // namespace platform

// ---------------------------------------------------------------------------
// The delivery program's operations: whole paths, open files, listings.

#include <dirent.h>

namespace platform {
namespace {

// A whole path as the system calls take it: zero-terminated.
struct WholePath {
  char text[PATH_MAX];
  bool ok;
};

WholePath TERMINATED(std::string_view path) {
  WholePath whole;
  whole.ok = !path.empty() && path.size() < sizeof whole.text &&
             path.find('\0') == std::string_view::npos;
  if (!whole.ok) return whole;
  std::memcpy(whole.text, path.data(), path.size());
  whole.text[path.size()] = '\0';
  return whole;
}

// The status for a path that TERMINATED refused.
int32_t BAD_PATH(std::string_view path) {
  return path.size() >= PATH_MAX ? ENAMETOOLONG : EINVAL;
}

FileFacts FACTS_FROM(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_size),
          static_cast<int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 +
              st.st_ctim.tv_nsec,
          static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

int FD_OF(OpenFile file) { return static_cast<int>(file.native); }

}  // namespace

int32_t FULL_FOLDER_PATH(std::string_view folder, std::span<char> full) {
  const WholePath path = TERMINATED(folder);
  if (!path.ok) return BAD_PATH(folder);
  char resolved[PATH_MAX];
  if (realpath(path.text, resolved) == nullptr) return errno;
  struct stat st;
  if (stat(resolved, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  const std::size_t length = std::strlen(resolved);
  const bool ends_in_slash = resolved[length - 1] == '/';
  if (length + (ends_in_slash ? 0 : 1) >= full.size()) return ENAMETOOLONG;
  std::memcpy(full.data(), resolved, length);
  if (!ends_in_slash) full[length] = '/';
  full[length + (ends_in_slash ? 0 : 1)] = '\0';
  return 0;
}

int32_t SAME_FOLDER(std::string_view first, std::string_view second,
                    bool& same) {
  const WholePath a = TERMINATED(first);
  const WholePath b = TERMINATED(second);
  if (!a.ok) return BAD_PATH(first);
  if (!b.ok) return BAD_PATH(second);
  struct stat one, other;
  if (stat(a.text, &one) != 0 || stat(b.text, &other) != 0) return errno;
  same = one.st_dev == other.st_dev && one.st_ino == other.st_ino;
  return 0;
}

int32_t LIST_FOLDER(std::string_view folder, VisitEntry visit, void* context) {
  const WholePath path = TERMINATED(folder);
  if (!path.ok) return BAD_PATH(folder);
  DIR* dir = opendir(path.text);
  if (dir == nullptr) return errno;
  int32_t status = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      status = errno;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed since it was listed
      status = errno;
      break;
    }
    const bool plain = S_ISREG(st.st_mode);
    visit({name, plain, plain ? static_cast<uint64_t>(st.st_size) : 0},
          context);
  }
  closedir(dir);  // opened for reading only: nothing to lose
  return status;
}

int32_t ENTER_FOLDER(std::string_view folder) {
  const WholePath path = TERMINATED(folder);
  if (!path.ok) return BAD_PATH(folder);
  return chdir(path.text) == 0 ? 0 : errno;
}

int32_t OPEN_FOR_READING(std::string_view path, Caching caching, OpenFile& file,
                         FileFacts& facts) {
  const WholePath whole = TERMINATED(path);
  if (!whole.ok) return BAD_PATH(path);
  struct stat st;
  int32_t status = 0;
  const int fd = OPEN_PLAIN_FILE(whole.text, st, status);
  if (fd < 0) return status;
  // From the disk: O_DIRECT reads pass the page cache (and cost a third of
  // buffered reads of the same data). Where the file system refuses it, a
  // file just written and flushed has only clean pages in the cache, and
  // DONTNEED drops them, so the reads that follow go to the disk. Advice is
  // best effort: a file system that keeps no page cache ignores it.
  const int flags = fcntl(fd, F_GETFL);
  const bool direct = caching == Caching::FROM_DISK && flags != -1 &&
                      fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
  if (caching == Caching::FROM_DISK && !direct)
    static_cast<void>(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED));
  static_cast<void>(posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL));
  file.native = fd;
  facts = FACTS_FROM(st);
  return 0;
}

int32_t READ_SOME(OpenFile file, std::span<unsigned char> buffer,
                  std::size_t& got) {
  for (;;) {
    const ssize_t n = read(FD_OF(file), buffer.data(), buffer.size());
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int32_t FACTS_OF(OpenFile file, FileFacts& facts) {
  struct stat st;
  if (fstat(FD_OF(file), &st) != 0) return errno;
  facts = FACTS_FROM(st);
  return 0;
}

int32_t CREATE_NEW_FILE(std::string_view path, OpenFile like, OpenFile& file) {
  const WholePath whole = TERMINATED(path);
  if (!whole.ok) return BAD_PATH(path);
  struct stat st;
  if (fstat(FD_OF(like), &st) != 0) return errno;
  // Every user's update run reads the delivery; set-user-ID and the like
  // are not passed on.
  constexpr mode_t EVERYONE_READS = 0444;
  const mode_t mode = (st.st_mode & NO_WRITE_FOR_OTHERS) | EVERYONE_READS;
  const int fd =
      openat(AT_FDCWD, whole.text,
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  // The umask may have taken bits away.
  if (fchmod(fd, mode) != 0) {
    const int32_t status = errno;
    close(fd);  // the caller removes the empty file
    return status;
  }
  file.native = fd;
  return 0;
}

int32_t WRITE_ALL(OpenFile file, std::span<const unsigned char> data) {
  while (!data.empty()) {
    const ssize_t n = write(FD_OF(file), data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

int32_t FLUSH_FILE(OpenFile file) {
  return fsync(FD_OF(file)) == 0 ? 0 : errno;
}

int32_t CLOSE_FILE(OpenFile& file) {
  if (file.native < 0) return 0;
  const int fd = FD_OF(file);
  file.native = -1;
  // After close fails the descriptor is gone all the same (Linux): no retry.
  return close(fd) == 0 ? 0 : errno;
}

int32_t RENAME_REPLACING(std::string_view source, std::string_view target) {
  const WholePath from = TERMINATED(source);
  const WholePath to = TERMINATED(target);
  if (!from.ok) return BAD_PATH(source);
  if (!to.ok) return BAD_PATH(target);
  const Identity moving = IDENTITY_AT(from.text);
  const int32_t status =
      LOOKED_AGAIN(WITH_BUSY_RETRY([&] {
                     return renameat(AT_FDCWD, from.text, AT_FDCWD, to.text);
                   }),
                   from.text, to.text, moving);
  if (status != 0) return status;
  // The rename is an entry in the folder: flushing the folder puts it on
  // disk before the next rename, so a crash cannot keep a later one and
  // lose an earlier one.
  const std::size_t slash = target.rfind('/');
  const WholePath folder =
      TERMINATED(slash == std::string_view::npos
                     ? std::string_view(".")
                     : std::string_view(target.data(), slash + 1));
  const int fd =
      openat(AT_FDCWD, folder.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int32_t flushed = fsync(fd) == 0 ? 0 : errno;
  close(fd);  // opened for reading only: nothing to lose
  return flushed;
}

void DESCRIBE(std::string_view path, std::span<char> text) {
  if (text.empty()) return;
  const WholePath whole = TERMINATED(path);
  struct stat st;
  if (!whole.ok ||
      fstatat(AT_FDCWD, whole.text, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    std::snprintf(text.data(), text.size(), "nothing");
    return;
  }
  const char* kind = S_ISREG(st.st_mode)    ? "a file"
                     : S_ISDIR(st.st_mode)  ? "a folder"
                     : S_ISLNK(st.st_mode)  ? "a link"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "a device";
  passwd entry{}, *found = nullptr;
  char names[1024];
  if (getpwuid_r(st.st_uid, &entry, names, sizeof names, &found) == 0 &&
      found != nullptr)
    std::snprintf(text.data(), text.size(), "%s owned by %s", kind,
                  found->pw_name);
  else
    std::snprintf(text.data(), text.size(), "%s owned by user %u", kind,
                  static_cast<unsigned>(st.st_uid));
}

bool NAMES_IGNORE_CASE() { return false; }

bool HELD_BY_ANOTHER(int32_t status) { return IS_TRANSIENT(status); }

bool ERRORS_GO_TO_TERMINAL() { return isatty(STDERR_FILENO) == 1; }

void ERROR_TEXT(int32_t status, std::span<char> text) {
  if (text.empty()) return;
  std::snprintf(text.data(), text.size(), "%s", std::strerror(status));
}

}  // namespace platform
