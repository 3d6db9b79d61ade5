// The primitives on POSIX (Linux): system calls and the mapping of their
// errors only. What the routines above make of them is in platform.cpp.

#include <dirent.h>
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

const int32_t STATUS_ABSENT = ENOENT;
const int32_t STATUS_INVALID = EINVAL;
const bool IDENTITY_COSTS_AN_OPEN = false;

namespace {

// The permission bits a copy may carry over: read and execute for all,
// write for the owner alone.
constexpr mode_t NO_WRITE_FOR_OTHERS = 0755;

int FD(const OpenFile& file) { return static_cast<int>(file.native); }

FileFacts FACTS_FROM(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_size),
          static_cast<int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 +
              st.st_ctim.tv_nsec,
          static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
          false};
}

// A descriptor that closes itself, for the files no caller sees.
struct Descriptor {
  int fd;
  explicit Descriptor(int opened) : fd(opened) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) close(fd);  // read-only or already flushed: nothing to lose
  }
};

// The folder that holds `path`, as a path of its own: "." for a bare name.
Path FOLDER_OF(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return Path(".");
  return Path(
      std::string_view(path, static_cast<std::size_t>(slash - path) + 1));
}

// Copies [from, to) of `in` to the same place in `out` with the kernel's
// copy, which clones where the file system can and keeps the data out of
// this process otherwise; falls back to sendfile where the two files' file
// systems cannot copy_file_range. A source that ends early fails with EIO.
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

// True when both paths stand for one file; errno is kept.
bool SAME_FILE(const char* one, const char* other) {
  const int error = errno;
  struct stat a, b;
  const bool same = fstatat(AT_FDCWD, one, &a, AT_SYMLINK_NOFOLLOW) == 0 &&
                    fstatat(AT_FDCWD, other, &b, AT_SYMLINK_NOFOLLOW) == 0 &&
                    a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  errno = error;
  return same;
}

bool NOTHING_NAMED(const char* path) {
  struct stat st;
  return fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
         errno == ENOENT;
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

int32_t STATUS_OF(int result) { return result == 0 ? 0 : errno; }

int LOCK_FD = -1;
Path LOCK_PATH;

// Opens the lock file for writing, which flock needs on NFS, creating it if
// need be, readable and writable for every user whatever the umask: the
// next user's run must be able to open it. An older lock file this user may
// only read is still opened, for reading, which flock accepts on a local
// disk. Returns the descriptor, or -1 with errno set.
int OPEN_LOCK_FILE(const char* path) {
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
    if (errno != EEXIST) return -1;
    fd = openat(AT_FDCWD, path, O_RDWR | FLAGS);
    if (fd < 0 && errno == EACCES)
      fd = openat(AT_FDCWD, path, O_RDONLY | FLAGS);
    if (fd >= 0 || errno != ENOENT) return fd;  // gone: make it afresh
  }
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

bool IS_ABSENT(int32_t status) { return status == ENOENT || status == ENOTDIR; }

bool IS_HELD(int32_t status) { return status == EBUSY || status == ETXTBSY; }

Look LOOK_AT(const char* path) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return {IS_ABSENT(errno) ? Kind::ABSENT : Kind::UNSEEN};
  if (!S_ISREG(st.st_mode)) return {Kind::OTHER};
  return {Kind::PLAIN_FILE, static_cast<uint64_t>(st.st_size),
          static_cast<int64_t>(st.st_mtim.tv_sec)};
}

int32_t FACTS_AT(const char* path, FileFacts& facts) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  facts = FACTS_FROM(st);
  return 0;
}

int32_t OPEN_FOR_READING(const char* path, Caching caching, OpenFile& file,
                         FileFacts& facts) {
  // O_NOFOLLOW: a link planted under the name is not followed out of the
  // folder. O_NONBLOCK: opening a FIFO does not wait for a writer.
  const int fd =
      openat(AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  file.native = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int32_t status = errno;
    static_cast<void>(file.CLOSE());  // read-only: nothing to lose
    return status;
  }
  if (!S_ISREG(st.st_mode)) {
    static_cast<void>(file.CLOSE());  // read-only: nothing to lose
    return EINVAL;
  }
  facts = FACTS_FROM(st);
  if (caching == Caching::FROM_DISK) {
    // O_DIRECT reads pass the page cache. Where the file system refuses it,
    // a file just written and flushed has only clean pages in the cache,
    // and DONTNEED drops them, so the reads that follow go to the disk.
    // Advice is best effort: a file system without a page cache ignores it.
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0)
      static_cast<void>(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED));
  }
  return 0;
}

int32_t READ_SOME(const OpenFile& file, std::span<unsigned char> buffer,
                  std::size_t& got) {
  for (;;) {
    const ssize_t n = read(FD(file), buffer.data(), buffer.size());
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int32_t FACTS_OF(const OpenFile& file, FileFacts& facts) {
  struct stat st;
  if (fstat(FD(file), &st) != 0) return errno;
  facts = FACTS_FROM(st);
  return 0;
}

int32_t CREATE_NEW_FILE(const char* path, const OpenFile& like, Readers readers,
                        OpenFile& file) {
  struct stat st;
  if (fstat(FD(like), &st) != 0) return errno;
  // Set-user-ID and the like are not passed on, nor write for others: a
  // world-writable source must not become a file any user can rewrite.
  constexpr mode_t EVERYONE_READS = 0444;
  const mode_t mode = (st.st_mode & NO_WRITE_FOR_OTHERS) |
                      (readers == Readers::EVERYONE ? EVERYONE_READS : 0);
  const int fd =
      openat(AT_FDCWD, path,
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  file.native = fd;
  // The umask may have taken bits away.
  if (fchmod(fd, mode) != 0) {
    const int32_t status = errno;
    static_cast<void>(file.CLOSE());  // empty: the caller removes it
    return status;
  }
  return 0;
}

int32_t WRITE_ALL(const OpenFile& file, std::span<const unsigned char> data) {
  while (!data.empty()) {
    const ssize_t n = write(FD(file), data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

// One stretch of data at a time: a hole in the source (a sparse delivery)
// stays a hole, so that nobody's delivery fills the folder's disk at the
// cost of the user who runs the update. Stopping at `size` spares the call
// that would only find the end of the file.
int32_t COPY_DATA(const OpenFile& from, const OpenFile& to, uint64_t length) {
  const int in = FD(from), out = FD(to);
  const auto size = static_cast<off_t>(length);
  bool use_copy_file_range = true;
  for (off_t at = 0; at < size;) {
    off_t data = lseek(in, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole from here
    if (data < 0 && errno != EINVAL) return errno;
    if (data < 0) data = at;  // no holes told apart here: all of it is data
    if (data >= size) break;
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0 && errno != EINVAL) return errno;
    if (hole < 0 || hole > size) hole = size;
    if (!COPY_RANGE(in, out, data, hole, use_copy_file_range)) return errno;
    at = hole;
  }
  struct stat now;
  if (fstat(in, &now) != 0) return errno;
  if (now.st_size < size) return EIO;  // cut short while it was copied
  // The holes at the end, and the copy's length.
  return STATUS_OF(ftruncate(out, size));
}

int32_t FLUSH_FILE(const OpenFile& file) { return STATUS_OF(fsync(FD(file))); }

int32_t OpenFile::CLOSE() {
  if (native == -1) return 0;
  const int fd = static_cast<int>(native);
  native = -1;
  // After close fails the descriptor is gone all the same (Linux): no retry.
  return STATUS_OF(close(fd));
}

int32_t RENAME(const char* source, const char* target, Replacing replacing) {
  return STATUS_OF(replacing == Replacing::YES
                       ? renameat(AT_FDCWD, source, AT_FDCWD, target)
                       : RENAME_NO_REPLACE(source, target));
}

int32_t FLUSH_FOLDER_OF(const char* path) {
  const Path folder = FOLDER_OF(path);
  if (!folder.FITS()) return ENAMETOOLONG;
  const Descriptor fd(
      openat(AT_FDCWD, folder.CHARS(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd < 0) return errno;
  return STATUS_OF(fsync(fd.fd));
}

// unlink never removes a directory (it fails with EISDIR), and removes a
// link, not what it points to.
int32_t DELETE_NOW(const char* path) {
  return STATUS_OF(unlinkat(AT_FDCWD, path, 0));
}

// No attribute keeps a POSIX file from being unlinked by whoever may write
// to its folder.
int32_t DELETE_TEMPORARY(const char* path) { return DELETE_NOW(path); }

int32_t CHECK_DELETABLE(const char* path) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  // unlink needs write and search permission on the folder.
  const Path folder = FOLDER_OF(path);
  if (!folder.FITS()) return ENAMETOOLONG;
  if (faccessat(AT_FDCWD, folder.CHARS(), W_OK | X_OK, AT_EACCESS) != 0)
    return errno;
  if (!S_ISREG(st.st_mode)) return 0;  // a link or the like: only its name
  // A file that cannot be opened here keeps its flags to itself; the rename
  // that replaces it will tell.
  const Descriptor fd(
      openat(AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.fd < 0) return 0;
  int flags = 0;
  // A file system without these flags (NFS, say) has nothing that pins a name.
  const bool pinned = ioctl(fd.fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
  return pinned ? EPERM : 0;
}

LockTry TRY_LOCK(const char* path) {
  const int fd = OPEN_LOCK_FILE(path);
  if (fd >= 0) {
    if (LOCKED_UNDER_ITS_NAME(fd, path)) {
      LOCK_FD = fd;
      LOCK_PATH = Path(path);
      return LockTry::HELD;
    }
    close(fd);  // held by another run, or no longer the file named
  } else if (errno == EROFS ||
             ((errno == EACCES || errno == EPERM) && NOTHING_NAMED(path))) {
    // This user may not create the lock file here, and so could change
    // nothing in the folder either.
    return LockTry::READ_ONLY;
  }
  // What is no lock file (a link, FIFO, socket or empty folder) goes;
  // unlink never follows a link. What will not go keeps every run out.
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISREG(st.st_mode))
    return LockTry::TAKEN;  // another user's file counts as held
  const int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
  return unlinkat(AT_FDCWD, path, flags) == 0 || errno == ENOENT
             ? LockTry::STALE_REMOVED
             : LockTry::BLOCKED;
}

void RELEASE_LOCK() {
  if (LOCK_FD < 0) return;
  // Removed while still held, so that no waiting run locks a file that is
  // about to vanish (it checks the name after locking).
  unlinkat(AT_FDCWD, LOCK_PATH.CHARS(), 0);  // a stale file only costs a retry
  close(LOCK_FD);
  LOCK_FD = -1;
}

// unlink frees a name at once, whoever holds the file: nothing is ever left
// aside here.
void REMOVE_SET_ASIDE_FILES() {}

int32_t LIST_FOLDER(const char* folder, VisitEntry visit, void* context) {
  DIR* dir = opendir(folder);
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

int32_t FULL_FOLDER_PATH(const char* folder, Path& full) {
  char resolved[PATH_MAX];
  if (realpath(folder, resolved) == nullptr) return errno;
  struct stat st;
  if (stat(resolved, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  full = Path(resolved);
  if (!full.VIEW().ends_with('/')) full.APPEND("/");
  return full.FITS() ? 0 : ENAMETOOLONG;
}

int32_t SAME_FOLDER(const char* first, const char* second, bool& same) {
  struct stat one, other;
  if (stat(first, &one) != 0 || stat(second, &other) != 0) return errno;
  same = one.st_dev == other.st_dev && one.st_ino == other.st_ino;
  return 0;
}

void DESCRIBE(const char* path, std::span<char> text) {
  if (text.empty()) return;
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
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

void ERROR_TEXT(int32_t status, std::span<char> text) {
  if (text.empty()) return;
  std::snprintf(text.data(), text.size(), "%s", std::strerror(status));
}

bool NAMES_IGNORE_CASE() { return false; }

bool ERRORS_GO_TO_TERMINAL() { return isatty(STDERR_FILENO) == 1; }

int64_t SECONDS_NOW() { return std::time(nullptr); }

uint64_t MONOTONIC_MS() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return static_cast<uint64_t>(now.tv_sec) * 1000 +
         static_cast<uint64_t>(now.tv_nsec) / 1'000'000;
}

void PAUSE_MS(uint32_t ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

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

}  // namespace platform
