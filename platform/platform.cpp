// The portable half of the platform layer: the update run's routines and
// the routines on whole paths, written once over the primitives. Nothing
// here calls the system; posix.cpp and win32.cpp do.

#include "platform.h"

#include <cstring>

namespace platform {
namespace {

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";
// Polling interval while another process holds the folder lock.
constexpr uint32_t LOCK_POLL_PAUSE_MS = 100;

// The path of a name field's name (and `suffix`) in the current folder: up
// to the field's first space. A name that is empty or holds a separator or
// a zero byte makes no path (FITS false).
Path NAME_PATH(std::string_view field, std::string_view suffix = {}) {
  const std::string_view name = field.substr(0, field.find(' '));
  if (name.find_first_of(std::string_view("\0/\\:", 4)) !=
      std::string_view::npos)
    return Path();
  Path path(name);
  path.APPEND(suffix);
  return path;
}

// `status` of a change of a name, looked at again when it reports failure:
// a file server may carry a request out and lose its reply, and the change
// then stands. The change is done when nothing stands at `gone` and
// `stands` holds the file `moved` (known by identity), or, where identity is
// not to be had, when `stands` was free before and holds a file now.
int32_t LOOKED_AGAIN(int32_t status, const char* gone, const char* stands,
                     const FileFacts& moved, bool stands_was_free) {
  if (status == 0 || LOOK_AT(gone).kind != Kind::ABSENT) return status;
  if (moved.file != 0) {
    FileFacts there;
    return FACTS_AT(stands, there) == 0 && there.SAME_FILE_AS(moved) ? 0
                                                                     : status;
  }
  return stands_was_free && LOOK_AT(stands).kind != Kind::ABSENT ? 0 : status;
}

// Removes a temporary after a failed copy. Best effort: the next copy
// removes one that stays, and the copy has failed either way.
void DROP_TEMPORARY(const char* temporary) {
  static_cast<void>(
      WITH_BUSY_RETRY([&] { return DELETE_TEMPORARY(temporary); }));
}

// Copies `in` to `out` through this process, handing each piece to
// `staging`. `size` is what the source held when opened; a source that
// holds another amount, or whose facts changed, by the end fails CHANGED.
int32_t COPY_PIECES(const OpenFile& in, const FileFacts& opened,
                    const OpenFile& out, Staging& staging) {
  uint64_t total = 0;
  for (;;) {
    std::size_t got = 0;
    if (const int32_t status = READ_SOME(in, staging.buffer, got)) {
      staging.failed = Step::READ;
      return status;
    }
    if (got == 0) break;
    const std::span<const unsigned char> piece(staging.buffer.data(), got);
    if (const int32_t status = staging.piece(piece, staging.context)) {
      staging.failed = Step::PIECE;
      return status;
    }
    if (const int32_t status = WRITE_ALL(out, piece)) {
      staging.failed = Step::WRITE;
      return status;
    }
    total += got;
  }
  FileFacts now;
  if (const int32_t status = FACTS_OF(in, now)) {
    staging.failed = Step::READ;
    return status;
  }
  if (now == opened && total == opened.size) return 0;
  staging.failed = Step::CHANGED;
  return STATUS_INVALID;
}

}  // namespace

Path& Path::APPEND(std::string_view text) {
  if (!fits_ || text.size() >= PATH_CAPACITY - size_ ||
      text.find('\0') != std::string_view::npos) {
    fits_ = false;
    return *this;
  }
  std::memcpy(text_ + size_, text.data(), text.size());
  size_ += text.size();
  text_[size_] = '\0';
  return *this;
}

// --- Routines on whole paths -----------------------------------------------

int32_t REMOVE(const char* path) {
  const int32_t status = WITH_BUSY_RETRY([&] { return DELETE_NOW(path); });
  if (status == 0 || IS_ABSENT(status)) return 0;
  return LOOK_AT(path).kind == Kind::ABSENT ? 0 : status;
}

int32_t STAGE_COPY(const char* source, const char* temporary, Staging& staging,
                   FileFacts& written) {
  staging.failed = Step::SOURCE;
  OpenFile in;
  FileFacts facts;
  int32_t status = WITH_BUSY_RETRY(
      [&] { return OPEN_FOR_READING(source, Caching::USE_CACHE, in, facts); });
  if (status != 0) return status;
  // A sparse file would be written out in full, at the folder's cost, by a
  // copy that cannot keep holes.
  if (facts.holes && staging.piece == nullptr) return STATUS_INVALID;

  staging.failed = Step::TEMPORARY;
  OpenFile out;
  status = WITH_BUSY_RETRY([&] {
    // A temporary left by a killed copy is ours to replace; whatever will
    // not go fails the create below, which never writes through a link.
    const int32_t cleared = DELETE_TEMPORARY(temporary);
    if (IS_HELD(cleared)) return cleared;
    return CREATE_NEW_FILE(temporary, in, staging.readers, out);
  });
  if (status != 0) return status;

  staging.failed = Step::WRITE;
  if (staging.piece != nullptr)
    status = COPY_PIECES(in, facts, out, staging);
  else
    status = COPY_DATA(in, out, facts.size);
  // Flushed before the rename, so that a crash never leaves the name
  // holding a partial file.
  if (status == 0) status = FLUSH_FILE(out);
  if (status == 0) status = FACTS_OF(out, written);
  if (const int32_t closed = out.CLOSE(); status == 0) status = closed;
  if (status == 0 && staging.check != nullptr) {
    staging.failed = Step::CHECK;
    status = staging.check(temporary, written, staging.context);
  }
  if (status != 0) {
    DROP_TEMPORARY(temporary);
    return status;
  }
  staging.failed = Step::NONE;
  return 0;
}

int32_t PUT_IN_PLACE(const char* temporary, const char* target,
                     const FileFacts& written) {
  int32_t status =
      LOOKED_AGAIN(WITH_BUSY_RETRY([&] {
                     return RENAME(temporary, target, Replacing::YES);
                   }),
                   temporary, target, written, false);
  // The rename is an entry in the folder: on disk before the next change,
  // so that a crash cannot keep a later change and lose this one.
  if (status == 0) status = FLUSH_FOLDER_OF(target);
  if (status != 0) DROP_TEMPORARY(temporary);
  return status;
}

FolderLock TAKE_FOLDER_LOCK(const char* path, uint32_t wait_limit_ms) {
  const uint64_t start = MONOTONIC_MS();
  for (;;) {
    bool again_at_once = false;
    switch (TRY_LOCK(path)) {
      case LockTry::HELD:
        return FolderLock::HELD;
      case LockTry::READ_ONLY:
        return FolderLock::FOLDER_READ_ONLY;
      case LockTry::BLOCKED:
        return FolderLock::BLOCKED;
      case LockTry::STALE_REMOVED:
        again_at_once = true;
        break;
      case LockTry::TAKEN:
        break;
    }
    if (MONOTONIC_MS() - start >= wait_limit_ms) return FolderLock::NOT_HAD;
    if (!again_at_once) PAUSE_MS(LOCK_POLL_PAUSE_MS);
  }
}

void RELEASE_FOLDER_LOCK() { RELEASE_LOCK(); }

// --- The update run's routines ---------------------------------------------

int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details) {
  const Path path = NAME_PATH(name);
  // A name that cannot stand in a folder is certainly not there.
  if (!path.FITS()) return STATUS_ABSENT;
  const Look look = LOOK_AT(path.CHARS());
  switch (look.kind) {
    case Kind::ABSENT:
    case Kind::OTHER:
      return STATUS_ABSENT;
    case Kind::UNSEEN:
      // Not seen, so not known to be absent: the next call on it tells.
      std::memset(details.data(), 0, details.size());
      return 0;
    case Kind::PLAIN_FILE:
      break;
  }
  const auto size = static_cast<int64_t>(look.size);
  std::memcpy(details.data(), &size, sizeof size);
  std::memcpy(details.data() + sizeof size, &look.modified_s,
              sizeof look.modified_s);
  return 0;
}

int32_t CBL_DELETE_FILE(std::string_view name) {
  const Path path = NAME_PATH(name);
  return path.FITS() ? REMOVE(path.CHARS()) : STATUS_INVALID;
}

int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_PATH(source), to = NAME_PATH(target);
  if (!from.FITS() || !to.FITS()) return STATUS_INVALID;
  // What tells, after a lost reply, that the rename was done: the moved
  // file's identity, or where that costs an open, a target that was free
  // before (a rename that never replaces cannot have been done otherwise).
  FileFacts moving;
  bool target_was_free = false;
  if (IDENTITY_COSTS_AN_OPEN)
    target_was_free = LOOK_AT(to.CHARS()).kind == Kind::ABSENT;
  else if (FACTS_AT(from.CHARS(), moving) != 0)
    moving = {};  // unknown: the failure then stands as reported
  return LOOKED_AGAIN(WITH_BUSY_RETRY([&] {
                        return RENAME(from.CHARS(), to.CHARS(), Replacing::NO);
                      }),
                      from.CHARS(), to.CHARS(), moving, target_was_free);
}

int32_t CBL_COPY_FILE(std::string_view source, std::string_view target) {
  const Path from = NAME_PATH(source), to = NAME_PATH(target),
             temporary = NAME_PATH(target, TEMPORARY_SUFFIX);
  if (!from.FITS() || !to.FITS() || !temporary.FITS()) return STATUS_INVALID;
  Staging plain;
  FileFacts written;
  if (const int32_t status =
          STAGE_COPY(from.CHARS(), temporary.CHARS(), plain, written))
    return status;
  return PUT_IN_PLACE(temporary.CHARS(), to.CHARS(), written);
}

int32_t CHECK_FILE_READABLE(std::string_view name) {
  const Path path = NAME_PATH(name);
  if (!path.FITS()) return STATUS_INVALID;
  OpenFile file;
  FileFacts facts;
  if (const int32_t status = WITH_BUSY_RETRY([&] {
        return OPEN_FOR_READING(path.CHARS(), Caching::USE_CACHE, file, facts);
      }))
    return status;
  // The copy refuses a sparse file (see STAGE_COPY): so does its check.
  return facts.holes ? STATUS_INVALID : 0;
}

int32_t CHECK_FILE_DELETABLE(std::string_view name) {
  const Path path = NAME_PATH(name);
  if (!path.FITS()) return STATUS_INVALID;
  const int32_t status =
      WITH_BUSY_RETRY([&] { return CHECK_DELETABLE(path.CHARS()); });
  return IS_ABSENT(status) ? 0 : status;
}

void GET_STAMP(std::span<char, 8> stamp) {
  constexpr char DIGITS[] = "0123456789ABCDEF";
  auto seconds = static_cast<uint32_t>(SECONDS_NOW());
  for (std::size_t i = stamp.size(); i-- > 0; seconds >>= 4)
    stamp[i] = DIGITS[seconds & 0xF];
}

int32_t cob32api() { return 0; }

FolderLock ACQUIRE_FOLDER_LOCK(std::string_view name, uint32_t wait_limit_ms) {
  const Path path = NAME_PATH(name);
  if (!path.FITS()) return FolderLock::NOT_HAD;
  return TAKE_FOLDER_LOCK(path.CHARS(), wait_limit_ms);
}

}  // namespace platform
