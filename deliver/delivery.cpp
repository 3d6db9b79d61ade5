// The delivery: reads the source folder, then checks, plans or delivers.

#include "delivery.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "../platform/platform.h"
#include "../update/client_files.h"
#include "sha256.h"

namespace {

constexpr std::string_view USAGE =
    "usage: TalvenClient_DELIVER [--dry-run | --check] SOURCE_FOLDER "
    "CLIENT_FOLDER\n";
constexpr std::string_view PROGRAM = "TalvenClient_DELIVER";

// A file is copied under its delivery name and this suffix, a name that no
// update run looks at, until it is complete and checked.
constexpr std::string_view PART_SUFFIX = ".part";

// One read and one write of this size at a time; a multiple of the
// alignment that unbuffered reads need.
constexpr std::size_t BUFFER_SIZE = std::size_t{1} << 20;
static_assert(BUFFER_SIZE % platform::READ_ALIGNMENT == 0);
alignas(platform::READ_ALIGNMENT) unsigned char BUFFER[BUFFER_SIZE];

// Files at least this large show their progress on a terminal.
constexpr uint64_t PROGRESS_FROM_SIZE = uint64_t{16} << 20;
constexpr uint64_t MIB = uint64_t{1} << 20;

// A client file under its working name (in the source folder, and in the
// client folder once a run has put it in place) and its delivery name.
struct Component {
  std::string_view working_name;
  std::string_view delivery_name;
};

// In the order of delivery. The executable comes last: an update run starts
// only when its delivery name stands there, and then finds the rest there.
constexpr std::size_t COMPONENT_COUNT = LIBRARY_COMPONENT_COUNT + 2;
constexpr std::array<Component, COMPONENT_COUNT> COMPONENTS = [] {
  std::array<Component, COMPONENT_COUNT> list{};
  list.front() = {VERSION_FILE, NEW_VERSION_FILE};
  for (std::size_t i = 0; i < LIBRARY_COMPONENT_COUNT; ++i)
    list[i + 1] = {LIBRARY_COMPONENT_TABLE[i].working_file_name,
                   LIBRARY_COMPONENT_TABLE[i].new_file_name};
  list.back() = {CURRENT_EXECUTABLE, NEW_EXECUTABLE};
  return list;
}();

enum class Mode { DELIVER, DRY_RUN, CHECK };

struct Request {
  Mode mode = Mode::DELIVER;
  std::string_view source;
  std::string_view client;
};

struct SourceFile {
  const Component* component;
  uint64_t size;
};

// A folder's entry, kept beyond the listing.
struct Entry {
  std::string name;
  bool plain_file;
  uint64_t size;
};

struct Source {
  std::string folder;             // absolute, ending in a separator
  std::vector<SourceFile> files;  // in the order of COMPONENTS
  std::vector<Entry> ignored;
};

// Why the program stops: its exit status and what it tells the user.
struct Failure {
  DeliveryStatus status = DELIVERED;
  std::string message;
  bool failed() const { return status != DELIVERED; }
};

std::string TEXT(std::string_view text) { return std::string(text); }

Failure FAILED(DeliveryStatus status, std::string message) {
  return {status, std::move(message)};
}

std::string BECAUSE(int32_t status) {
  char text[512];
  platform::ERROR_TEXT(status, text);
  return ": " + TEXT(text);
}

int32_t LIST(std::string_view folder, std::vector<Entry>& entries) {
  entries.clear();
  return platform::LIST_FOLDER(
      folder,
      [](const platform::FolderEntry& entry, void* list) {
        static_cast<std::vector<Entry>*>(list)->push_back(
            {TEXT(entry.name), entry.plain_file, entry.size});
      },
      &entries);
}

int32_t FULL_PATH(std::string_view folder, std::string& full) {
  static char path[platform::WHOLE_PATH_CAPACITY];
  if (const int32_t status = platform::FULL_FOLDER_PATH(folder, path))
    return status;
  full = path;
  return 0;
}

int REPORT(const Failure& failure) {
  std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(PROGRAM.size()),
               PROGRAM.data(), failure.message.c_str());
  return failure.status;
}

char LOWER(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SAME_BUT_FOR_CASE(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return LOWER(x) == LOWER(y); });
}

// Whether two names in the client folder name one file, as its file system
// compares them. The component names are plain ASCII, so folding ASCII
// letters is all it takes.
bool SAME_NAME(std::string_view a, std::string_view b) {
  return platform::NAMES_IGNORE_CASE() ? SAME_BUT_FOR_CASE(a, b) : a == b;
}

constexpr std::string_view REPLACED_BY_ANOTHER =
    " was replaced or changed by someone else after it was written: deliver "
    "again, and look at who may write to the client folder";
constexpr std::string_view STILL_BEING_WRITTEN =
    " is still being written, or held by another program: deliver it again "
    "once it is complete";

std::string HEX(const Sha256Digest& digest) {
  constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += DIGITS[byte >> 4];
    hex += DIGITS[byte & 0xF];
  }
  return hex;
}

// One line per file: name, size, SHA-256 ("-" where not read), what was
// done.
void PRINT_LINE(std::string_view name, uint64_t size, std::string_view sha,
                const std::string& what) {
  std::printf("%-30.*s %12" PRIu64 "  %-64.*s  %s\n",
              static_cast<int>(name.size()), name.data(), size,
              static_cast<int>(sha.size()), sha.data(), what.c_str());
}

bool PARSE(std::span<const std::string_view> arguments, Request& request) {
  std::vector<std::string_view> folders;
  bool mode_given = false;
  for (const std::string_view argument : arguments) {
    if (argument == "--dry-run" || argument == "--check") {
      if (mode_given) return false;
      mode_given = true;
      request.mode = argument == "--check" ? Mode::CHECK : Mode::DRY_RUN;
    } else if (argument.starts_with("-") || argument.empty()) {
      return false;
    } else {
      folders.push_back(argument);
    }
  }
  if (folders.size() != 2) return false;
  request.source = folders[0];
  request.client = folders[1];
  return true;
}

// --- Reading a file whole -------------------------------------------------

// A progress line on standard error, redrawn as a large file is read, where
// standard error is a terminal.
class Progress {
 public:
  Progress(std::string label, uint64_t total)
      : label_(std::move(label)),
        total_(total),
        shown_(total >= PROGRESS_FROM_SIZE &&
               platform::ERRORS_GO_TO_TERMINAL()) {}
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\r%*s\r", 72, "");
  }
  void AT(uint64_t done) {
    if (!shown_) return;
    const uint64_t percent = done * 100 / total_;
    if (percent == last_percent_) return;
    last_percent_ = percent;
    std::fprintf(stderr, "\r%s: %3" PRIu64 "%% of %" PRIu64 " MiB",
                 label_.c_str(), percent, (total_ + MIB - 1) / MIB);
    std::fflush(stderr);
  }

 private:
  std::string label_;
  uint64_t total_;
  bool shown_;
  uint64_t last_percent_ = 101;
};

enum class ReadFault { NONE, READ, WRITE, CHANGED, HASH };

struct ReadOutcome {
  ReadFault fault = ReadFault::NONE;
  int32_t status = 0;  // the platform's, for READ and WRITE
  uint64_t size = 0;   // what was read, and hashed
};

// Reads `in` to its end into `digest`, writing each piece to `copy` when it
// is open. CHANGED when the file's facts at the end are not those it was
// opened with, or it did not hold as many bytes as they said.
ReadOutcome READ_WHOLE(platform::OpenFile in, const platform::FileFacts& opened,
                       platform::OpenFile copy, const std::string& label,
                       Sha256Digest& digest) {
  Sha256 hash;
  Progress progress(label, opened.size);
  uint64_t total = 0;
  for (;;) {
    std::size_t got = 0;
    if (const int32_t status = platform::READ_SOME(in, BUFFER, got))
      return {ReadFault::READ, status};
    if (got == 0) break;
    const std::span<const unsigned char> piece(BUFFER, got);
    if (!hash.ADD(piece)) return {ReadFault::HASH};
    if (copy.native != -1)
      if (const int32_t status = platform::WRITE_ALL(copy, piece))
        return {ReadFault::WRITE, status};
    total += got;
    progress.AT(total);
  }
  platform::FileFacts now;
  if (const int32_t status = platform::FACTS_OF(in, now))
    return {ReadFault::READ, status};
  if (now != opened || total != opened.size) return {ReadFault::CHANGED};
  if (!hash.FINISH(digest)) return {ReadFault::HASH};
  return {ReadFault::NONE, 0, total};
}

constexpr std::string_view HASH_FAILED = "the SHA-256 library failed";

// The SHA-256 and size of the plain file at `path`. A failure says
// `status_if_failed` and names the file as `shown`.
Failure HASH_FILE(const std::string& path, std::string_view shown,
                  DeliveryStatus status_if_failed, Sha256Digest& digest,
                  uint64_t& size) {
  platform::OpenFile in;
  platform::FileFacts facts;
  if (const int32_t status = platform::OPEN_FOR_READING(
          path, platform::Caching::USE_CACHE, in, facts)) {
    if (platform::HELD_BY_ANOTHER(status))
      return FAILED(COPY_FAILED, TEXT(shown) + TEXT(STILL_BEING_WRITTEN));
    return FAILED(status_if_failed,
                  "cannot read " + TEXT(shown) + BECAUSE(status));
  }
  const ReadOutcome read =
      READ_WHOLE(in, facts, {}, "reading " + TEXT(shown), digest);
  static_cast<void>(platform::CLOSE_FILE(in));  // read only: nothing to lose
  size = read.size;
  switch (read.fault) {
    case ReadFault::NONE:
      return {};
    case ReadFault::CHANGED:
      return FAILED(status_if_failed,
                    TEXT(shown) + " changed while it was read");
    case ReadFault::HASH:
      return FAILED(status_if_failed, TEXT(HASH_FAILED));
    case ReadFault::READ:
    case ReadFault::WRITE:
      break;
  }
  return FAILED(status_if_failed,
                "cannot read " + TEXT(shown) + BECAUSE(read.status));
}

// --- The source folder ----------------------------------------------------

const Component* COMPONENT_NAMED(std::string_view name) {
  for (const Component& component : COMPONENTS)
    if (component.working_name == name) return &component;
  return nullptr;
}

// A component name (working or delivery) that `name` matches but for case.
const std::string_view* CASE_TWIN(std::string_view name) {
  for (const Component& component : COMPONENTS)
    for (const std::string_view* known :
         {&component.working_name, &component.delivery_name})
      if (*known != name && SAME_BUT_FOR_CASE(*known, name)) return known;
  return nullptr;
}

Failure READ_SOURCE(std::string_view folder, Source& source) {
  const std::string shown(folder);
  if (const int32_t status = FULL_PATH(folder, source.folder))
    return FAILED(SOURCE_NOT_USABLE,
                  "cannot open the source folder " + shown + BECAUSE(status));
  std::vector<Entry> entries;
  if (const int32_t status = LIST(source.folder, entries))
    return FAILED(SOURCE_NOT_USABLE,
                  "cannot list the source folder " + shown + BECAUSE(status));
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  std::array<const Entry*, COMPONENT_COUNT> found{};
  for (const Entry& entry : entries) {
    if (const Component* component = COMPONENT_NAMED(entry.name)) {
      if (!entry.plain_file)
        return FAILED(SOURCE_NOT_USABLE,
                      entry.name +
                          " in the source folder is not a plain "
                          "file (a folder, a link or a device)");
      found[static_cast<std::size_t>(component - COMPONENTS.data())] = &entry;
    } else if (const std::string_view* twin = CASE_TWIN(entry.name)) {
      return FAILED(SOURCE_NOT_USABLE,
                    entry.name + " in the source folder differs from " +
                        TEXT(*twin) +
                        " only in case: rename it to the exact name");
    } else {
      source.ignored.push_back(entry);
    }
  }
  for (std::size_t i = 0; i < COMPONENT_COUNT; ++i)
    if (found[i] != nullptr)
      source.files.push_back({&COMPONENTS[i], found[i]->size});
  if (found.back() == nullptr)
    return FAILED(SOURCE_NOT_USABLE,
                  "the source folder " + shown + " has no " +
                      TEXT(CURRENT_EXECUTABLE) +
                      ": an update run starts only when it is delivered");
  return {};
}

void PRINT_IGNORED(const Source& source) {
  for (const Entry& entry : source.ignored)
    PRINT_LINE(entry.name, entry.size, "-", "ignored: not a client file");
}

// --- The client folder ----------------------------------------------------

// The client folder's entries; a folder that cannot be listed is no client
// folder to work in.
Failure LIST_CLIENT(std::string_view client, std::vector<Entry>& entries) {
  if (const int32_t status = LIST(client, entries))
    return FAILED(CLIENT_FOLDER_NOT_USABLE,
                  "cannot list the client folder" + BECAUSE(status));
  return {};
}

const Entry* LISTED(const std::vector<Entry>& entries, std::string_view name) {
  const auto entry =
      std::find_if(entries.begin(), entries.end(),
                   [&](const auto& e) { return SAME_NAME(e.name, name); });
  return entry == entries.end() ? nullptr : &*entry;
}

// Deliveries from earlier that wait in the client folder for a component
// the source does not hold: the next run installs them with this delivery.
void PRINT_WAITING(const Source& source, const std::vector<Entry>& client) {
  for (const Component& component : COMPONENTS) {
    const bool delivered =
        std::any_of(source.files.begin(), source.files.end(),
                    [&](const auto& f) { return f.component == &component; });
    if (!delivered && LISTED(client, component.delivery_name))
      std::printf(
          "note: %.*s waits from an earlier delivery; the next "
          "update run installs it with this one\n",
          static_cast<int>(component.delivery_name.size()),
          component.delivery_name.data());
  }
}

std::string DELIVERED_AS(const Component& component, bool replacing,
                         std::string_view verb) {
  return TEXT(verb) + " " + TEXT(component.delivery_name) +
         (replacing ? " (replacing the delivery waiting there)" : "");
}

// --check: each working file of the source against the client folder's,
// and each delivery still waiting there, which the next run would install.
int CHECK(const Source& source, const std::string& client) {
  std::vector<Entry> entries;
  if (const Failure listed = LIST_CLIENT(client, entries); listed.failed())
    return REPORT(listed);
  bool all_current = true;
  for (const Component& component : COMPONENTS) {
    const auto file =
        std::find_if(source.files.begin(), source.files.end(),
                     [&](const auto& f) { return f.component == &component; });
    const bool in_source = file != source.files.end();
    const std::string_view name = component.working_name;
    Sha256Digest wanted{};
    uint64_t size = 0;
    if (in_source) {
      const Failure read = HASH_FILE(source.folder + TEXT(name), name,
                                     SOURCE_NOT_USABLE, wanted, size);
      if (read.failed()) return REPORT(read);
      std::string state = "current";
      const Entry* entry = LISTED(entries, name);
      if (entry == nullptr || !entry->plain_file) {
        state = "missing from the client folder";
      } else {
        Sha256Digest there;
        uint64_t there_size = 0;
        const Failure read_there = HASH_FILE(client + entry->name, name,
                                             NOT_CURRENT, there, there_size);
        if (read_there.failed())
          state = "different: " + read_there.message;
        else if (there != wanted)
          state = "different: the client folder's is " +
                  std::to_string(there_size) + " bytes, SHA-256 " + HEX(there);
      }
      all_current = all_current && state == "current";
      PRINT_LINE(name, size, HEX(wanted), state);
    }
    // A delivery still waiting is what the next run installs: it is named
    // with its checksum, and one that is not the source's is no update to
    // this release.
    const Entry* waiting = LISTED(entries, component.delivery_name);
    if (waiting == nullptr || !waiting->plain_file) continue;
    Sha256Digest there;
    uint64_t there_size = 0;
    const Failure read_there = HASH_FILE(client + waiting->name, waiting->name,
                                         NOT_CURRENT, there, there_size);
    const bool same = in_source && !read_there.failed() && there == wanted;
    all_current = all_current && same;
    PRINT_LINE(waiting->name, there_size,
               read_there.failed() ? std::string("-") : HEX(there),
               read_there.failed() ? "waiting: " + read_there.message
               : same              ? std::string("waiting: the same as the "
                                                              "source's; the next run installs it")
                                   : "waiting: not the source's " + TEXT(name) +
                            "; the next run installs it");
  }
  return all_current ? DELIVERED : NOT_CURRENT;
}

int PLAN(const Source& source, const std::string& client) {
  std::vector<Entry> entries;
  if (const Failure listed = LIST_CLIENT(client, entries); listed.failed())
    return REPORT(listed);
  for (const SourceFile& file : source.files) {
    const std::string_view name = file.component->working_name;
    Sha256Digest digest;
    uint64_t size = 0;
    const Failure read = HASH_FILE(source.folder + TEXT(name), name,
                                   SOURCE_NOT_USABLE, digest, size);
    if (read.failed()) return REPORT(read);
    const bool waiting =
        LISTED(entries, file.component->delivery_name) != nullptr;
    PRINT_LINE(name, size, HEX(digest),
               DELIVERED_AS(*file.component, waiting, "would be delivered as"));
  }
  PRINT_WAITING(source, entries);
  std::printf("dry run: nothing was changed\n");
  return DELIVERED;
}

// --- The delivery ---------------------------------------------------------

std::string PART_NAME(const Component& component) {
  return TEXT(component.delivery_name) + TEXT(PART_SUFFIX);
}

// Copies the source file to `part` in the client folder (the current
// directory), flushes it, reads it back from the disk and compares. The
// file read back must be the one written (`written`), so that no other user
// of the folder can slip another in between; `size` is what was hashed.
Failure COPY_CHECKED(const std::string& source_path, std::string_view name,
                     const std::string& part, Sha256Digest& digest,
                     uint64_t& size, platform::FileFacts& written) {
  platform::OpenFile in;
  platform::FileFacts facts;
  if (const int32_t status = platform::OPEN_FOR_READING(
          source_path, platform::Caching::USE_CACHE, in, facts)) {
    if (platform::HELD_BY_ANOTHER(status))
      return FAILED(COPY_FAILED, TEXT(name) + TEXT(STILL_BEING_WRITTEN));
    return FAILED(SOURCE_NOT_USABLE,
                  "cannot read " + TEXT(name) + BECAUSE(status));
  }
  platform::OpenFile out;
  if (const int32_t status = platform::CREATE_NEW_FILE(part, in, out)) {
    static_cast<void>(platform::CLOSE_FILE(in));  // read only
    return FAILED(COPY_FAILED, "cannot create " + part + BECAUSE(status));
  }
  const ReadOutcome copied =
      READ_WHOLE(in, facts, out, "copying " + TEXT(name), digest);
  static_cast<void>(platform::CLOSE_FILE(in));  // read only: nothing to lose
  int32_t written_status =
      copied.fault == ReadFault::NONE ? platform::FLUSH_FILE(out) : 0;
  if (written_status == 0 && copied.fault == ReadFault::NONE)
    written_status = platform::FACTS_OF(out, written);
  const int32_t closed = platform::CLOSE_FILE(out);
  if (written_status == 0) written_status = closed;
  switch (copied.fault) {
    case ReadFault::NONE:
      break;
    case ReadFault::READ:
      return FAILED(SOURCE_NOT_USABLE,
                    "cannot read " + TEXT(name) + BECAUSE(copied.status));
    case ReadFault::WRITE:
      return FAILED(COPY_FAILED,
                    "cannot write " + part + BECAUSE(copied.status));
    case ReadFault::CHANGED:
      return FAILED(COPY_FAILED,
                    TEXT(name) +
                        " changed while it was copied: deliver it again "
                        "once it is complete");
    case ReadFault::HASH:
      return FAILED(COPY_FAILED, TEXT(HASH_FAILED));
  }
  if (written_status != 0)
    return FAILED(COPY_FAILED,
                  "cannot write " + part + BECAUSE(written_status));
  size = copied.size;

  platform::OpenFile back;
  if (const int32_t status = platform::OPEN_FOR_READING(
          part, platform::Caching::FROM_DISK, back, facts))
    return FAILED(COPY_FAILED, "cannot read back " + part + BECAUSE(status));
  if (!facts.SAME_FILE_AS(written)) {
    static_cast<void>(platform::CLOSE_FILE(back));  // read only
    return FAILED(COPY_FAILED, part + TEXT(REPLACED_BY_ANOTHER));
  }
  Sha256Digest read_back;
  const ReadOutcome checked =
      READ_WHOLE(back, facts, {}, "checking " + part, read_back);
  static_cast<void>(platform::CLOSE_FILE(back));  // read only
  if (checked.fault != ReadFault::NONE)
    return FAILED(COPY_FAILED, "cannot read back " + part +
                                   (checked.fault == ReadFault::READ
                                        ? BECAUSE(checked.status)
                                        : ": it changed while it was read"));
  if (read_back != digest)
    return FAILED(COPY_FAILED, part + " as read back differs from " +
                                   TEXT(name) +
                                   ": the disk or the network "
                                   "changed the data");
  return {};
}

// Nothing when the file under `name` is the one written as `written`, of the
// size it was checked with; else why not, with `replaced` set when another
// file stands there.
Failure STILL_THE_FILE_CHECKED(const std::string& name,
                               const platform::FileFacts& written,
                               bool& replaced) {
  platform::OpenFile file;
  platform::FileFacts facts;
  if (const int32_t status = platform::OPEN_FOR_READING(
          name, platform::Caching::USE_CACHE, file, facts))
    return FAILED(COPY_FAILED, "cannot look at " + name + BECAUSE(status));
  static_cast<void>(platform::CLOSE_FILE(file));  // read only: nothing to lose
  // The change time is not compared: a rename sets it (POSIX).
  replaced = !facts.SAME_FILE_AS(written) || facts.size != written.size;
  if (replaced) return FAILED(COPY_FAILED, name + TEXT(REPLACED_BY_ANOTHER));
  return {};
}

// Removes every temporary this program may have left in the current
// directory. Returns the first failure's status.
int32_t REMOVE_PARTS() {
  int32_t first = 0;
  for (const Component& component : COMPONENTS) {
    const int32_t status = platform::CBL_DELETE_FILE(PART_NAME(component));
    if (first == 0) first = status;
  }
  return first;
}

// Holds the folder lock for as long as it lives.
struct LockHeld {
  LockHeld() = default;
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;
  ~LockHeld() { platform::RELEASE_FOLDER_LOCK(); }
};

int DELIVER_FILES(const Source& source, const std::string& client) {
  if (const int32_t status = platform::ENTER_FOLDER(client))
    return REPORT(FAILED(CLIENT_FOLDER_NOT_USABLE,
                         "cannot enter the client folder" + BECAUSE(status)));
  switch (platform::ACQUIRE_FOLDER_LOCK(ARGUMENT<FOLDER_LOCK_FILE>,
                                        FOLDER_LOCK_WAIT_LIMIT_MS)) {
    case platform::FolderLock::HELD:
      break;
    case platform::FolderLock::FOLDER_READ_ONLY:
      return REPORT(FAILED(CLIENT_FOLDER_NOT_USABLE,
                           "this user may not create files in the client "
                           "folder " +
                               client));
    case platform::FolderLock::BLOCKED: {
      char what[256];
      platform::DESCRIBE(FOLDER_LOCK_FILE, what);
      return REPORT(FAILED(
          LOCK_NOT_HAD, "the folder lock's name " + TEXT(FOLDER_LOCK_FILE) +
                            " holds " + TEXT(what) +
                            ", which is no lock and cannot be removed: remove "
                            "it, then deliver again; nothing was changed"));
    }
    case platform::FolderLock::NOT_HAD:
      return REPORT(FAILED(
          LOCK_NOT_HAD, "the folder lock " + TEXT(FOLDER_LOCK_FILE) +
                            " stayed taken for " +
                            std::to_string(FOLDER_LOCK_WAIT_LIMIT_MS / 1000) +
                            " s: an update run or another delivery is at "
                            "work there; nothing was changed, try again"));
  }
  const LockHeld lock;

  std::vector<Entry> entries;
  if (const Failure listed = LIST_CLIENT(".", entries); listed.failed())
    return REPORT(listed);
  // What a killed delivery left: ours to remove, whoever made it.
  if (const int32_t status = REMOVE_PARTS())
    return REPORT(FAILED(COPY_FAILED, "cannot remove a left-over " +
                                          TEXT(PART_SUFFIX) + " file" +
                                          BECAUSE(status)));

  // Every file complete and checked under its temporary name first, so that
  // a failure on the way leaves every delivery name as it was.
  std::vector<Sha256Digest> digests(source.files.size());
  std::vector<uint64_t> sizes(source.files.size());
  std::vector<platform::FileFacts> written(source.files.size());
  for (std::size_t i = 0; i < source.files.size(); ++i) {
    const Component& component = *source.files[i].component;
    const Failure copied = COPY_CHECKED(
        source.folder + TEXT(component.working_name), component.working_name,
        PART_NAME(component), digests[i], sizes[i], written[i]);
    if (copied.failed()) {
      // Best effort: the next delivery removes what stays.
      static_cast<void>(REMOVE_PARTS());
      return REPORT(copied);
    }
  }
  // An executable of an earlier delivery that still waits goes first: a
  // run that started while the new files are renamed one by one would
  // install it with them. With none waiting, no run starts until this
  // delivery's own executable, renamed last, is in place.
  const bool executable_waited = LISTED(entries, NEW_EXECUTABLE) != nullptr;
  if (const int32_t status = platform::CBL_DELETE_FILE(NEW_EXECUTABLE)) {
    static_cast<void>(REMOVE_PARTS());  // best effort, as above
    return REPORT(FAILED(
        COPY_FAILED,
        "cannot remove the waiting " + TEXT(NEW_EXECUTABLE) + BECAUSE(status)));
  }
  // Then the renames, each one whole, the executable's last; each delivery
  // name must then hold the very file that was checked.
  for (std::size_t i = 0; i < source.files.size(); ++i) {
    const Component& component = *source.files[i].component;
    const bool waiting =
        component.delivery_name == NEW_EXECUTABLE
            ? executable_waited
            : LISTED(entries, component.delivery_name) != nullptr;
    const std::string delivered(component.delivery_name);
    Failure renamed;
    bool replaced = false;
    if (const int32_t status =
            platform::RENAME_REPLACING(PART_NAME(component), delivered))
      renamed = FAILED(COPY_FAILED, "cannot rename " + PART_NAME(component) +
                                        " to " + delivered + BECAUSE(status) +
                                        "; run the command again to complete "
                                        "the delivery");
    else
      renamed = STILL_THE_FILE_CHECKED(delivered, written[i], replaced);
    if (renamed.failed()) {
      // A file that is not the one checked must not wait for a run: what
      // stands under the name goes too (best effort, as the parts).
      if (replaced) static_cast<void>(platform::CBL_DELETE_FILE(delivered));
      static_cast<void>(REMOVE_PARTS());
      return REPORT(renamed);
    }
    PRINT_LINE(component.working_name, sizes[i], HEX(digests[i]),
               DELIVERED_AS(component, waiting, "delivered as"));
  }
  PRINT_WAITING(source, entries);
  std::printf(
      "delivered %zu file(s): the next update run in %s installs "
      "them\n",
      source.files.size(), client.c_str());
  return DELIVERED;
}

}  // namespace

int DELIVER(std::span<const std::string_view> arguments) {
  Request request;
  if (!PARSE(arguments, request)) {
    std::fputs(USAGE.data(), stderr);
    return BAD_ARGUMENTS;
  }
  Source source;
  if (const Failure read = READ_SOURCE(request.source, source); read.failed())
    return REPORT(read);
  std::string client;
  if (const int32_t status = FULL_PATH(request.client, client))
    return REPORT(FAILED(CLIENT_FOLDER_NOT_USABLE,
                         "cannot open the client folder " +
                             TEXT(request.client) + BECAUSE(status)));
  bool same = false;
  if (const int32_t status = platform::SAME_FOLDER(source.folder, client, same))
    return REPORT(FAILED(CLIENT_FOLDER_NOT_USABLE,
                         "cannot open the client folder " +
                             TEXT(request.client) + BECAUSE(status)));
  if (same)
    return REPORT(FAILED(BAD_ARGUMENTS,
                         "the source folder is the client folder itself: "
                         "keep the new files in a folder of their own"));
  PRINT_IGNORED(source);
  switch (request.mode) {
    case Mode::CHECK:
      return CHECK(source, client);
    case Mode::DRY_RUN:
      return PLAN(source, client);
    case Mode::DELIVER:
      break;
  }
  return DELIVER_FILES(source, client);
}
