// POSIX implementation of the platform operations (Linux). Only system calls
// and the mapping of their errors belong here: nothing about components,
// messages or the order of the update's steps. Each routine behaves as its
// Win32 counterpart does, so that one set of expectations holds for both.

#include <fcntl.h>
#include <sys/file.h>
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

// Moves `source` to `target` unless `target` exists. Where the file system
// refuses RENAME_NOREPLACE, a hard link followed by removing the old name
// gives the same guarantee.
int RENAME_NO_REPLACE(const char* source, const char* target) {
  if (renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  if (linkat(AT_FDCWD, source, AT_FDCWD, target, 0) != 0) return -1;
  if (unlinkat(AT_FDCWD, source, 0) == 0) return 0;
  const int error = errno;
  unlinkat(AT_FDCWD, target, 0);  // back to one name; source still stands
  errno = error;
  return -1;
}

// Copies the `size` bytes of `in` (its size when it was opened) to `out`
// with the kernel's copy, which clones where the file system can and keeps
// the data out of this process otherwise. Stopping at `size` spares the call
// that would only find the end of the file. Falls back to sendfile where the
// two files' file systems cannot copy_file_range.
bool COPY_CONTENT(int in, int out, off_t size) {
  constexpr off_t CHUNK = off_t{1} << 30;
  bool use_copy_file_range = true;
  for (off_t left = size; left > 0;) {
    const auto wanted = static_cast<std::size_t>(std::min(left, CHUNK));
    const ssize_t copied =
        use_copy_file_range
            ? copy_file_range(in, nullptr, out, nullptr, wanted, 0)
            : sendfile(out, in, nullptr, wanted);
    if (copied > 0) {
      left -= copied;
      continue;
    }
    if (copied == 0) return true;  // the file shrank meanwhile: it ends here
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

int LOCK_FD = -1;
Path LOCK_NAME{};

}  // namespace

int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details) {
  const Path path = NAME_OF(name);
  if (!path.ok) return ENOENT;
  struct stat st;
  if (fstatat(AT_FDCWD, path.text, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
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
  return status == ENOENT ? 0 : status;
}

int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_OF(source);
  const Path to = NAME_OF(target);
  if (!from.ok || !to.ok) return EINVAL;
  return WITH_BUSY_RETRY([&] { return RENAME_NO_REPLACE(from.text, to.text); });
}

int32_t CBL_COPY_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_OF(source);
  const Path to = NAME_OF(target);
  const Path temporary = NAME_OF(target, TEMPORARY_SUFFIX);
  if (!from.ok || !to.ok || !temporary.ok) return EINVAL;

  // O_NOFOLLOW: a link planted under the source's name is not followed out
  // of the folder. O_NONBLOCK: opening a FIFO does not wait for a writer.
  const int in = openat(AT_FDCWD, from.text,
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat st;
  const int32_t source_status =
      fstat(in, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (source_status != 0) {
    close(in);
    return source_status;
  }

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
  // set-group-ID: the copy belongs to whoever runs the update.
  bool ok = COPY_CONTENT(in, out, st.st_size) &&
            fchmod(out, st.st_mode & 0777) == 0 && fsync(out) == 0;
  int32_t status = ok ? 0 : errno;
  if (close(out) != 0 && ok) {
    ok = false;
    status = errno;
  }
  close(in);  // read-only: nothing to lose
  // A target held on a file server (EBUSY) is retried like any rename.
  if (ok) {
    status = WITH_BUSY_RETRY(
        [&] { return renameat(AT_FDCWD, temporary.text, AT_FDCWD, to.text); });
    ok = status == 0;
  }
  if (!ok) unlinkat(AT_FDCWD, temporary.text, 0);  // best effort clean-up
  return ok ? 0 : (status != 0 ? status : EIO);
}

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

int32_t ACQUIRE_FOLDER_LOCK(std::string_view name) {
  const Path path = NAME_OF(name);
  if (!path.ok) return EINVAL;
  for (;;) {
    // Read-only is enough for flock, and lets a lock file that another
    // user's run made be opened. Its mode follows the umask.
    const int fd =
        openat(AT_FDCWD, path.text,
               O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      if (error != EWOULDBLOCK && error != EINTR) return error;
      usleep(LOCK_POLL_PAUSE_US);
      continue;
    }
    // Something other than a file under the lock's name (a FIFO opens and
    // locks as well) is no lock any run can share: go on without one rather
    // than try it again for ever.
    struct stat held, named;
    const int held_status =
        fstat(fd, &held) != 0 ? errno : (S_ISREG(held.st_mode) ? 0 : EINVAL);
    if (held_status != 0) {
      close(fd);
      return held_status;
    }
    // The holder before us removes the file before it lets go; if it did so
    // after we opened it, we hold a lock on a file nobody else will open.
    if (fstatat(AT_FDCWD, path.text, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      LOCK_FD = fd;
      LOCK_NAME = path;
      return 0;
    }
    close(fd);
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
