// The delivery: reads the source folder, then checks, plans or delivers.
// Every file is named by its whole path: the current folder never changes.

#include "delivery.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "../platform/platform.h"
#include "../update/client_files.h"
#include "sha256.h"

#ifndef TALVEN_VERSION
#error "CMake passes the project's version as TALVEN_VERSION"
#endif

using namespace platform;

namespace {

constexpr char PROGRAM[] = "TalvenClient_DELIVER";

// A file is copied under its delivery name and this suffix, a name that no
// update run looks at, until it is complete and checked.
constexpr std::string_view PART_SUFFIX = ".part";

// One read of this size at a time; a multiple of the alignment that
// unbuffered reads need.
constexpr std::size_t BUFFER_SIZE = std::size_t{1} << 20;
static_assert(BUFFER_SIZE % READ_ALIGNMENT == 0);
alignas(READ_ALIGNMENT) unsigned char BUFFER[BUFFER_SIZE];

// Files at least this large show their progress on a terminal.
constexpr uint64_t PROGRESS_FROM_SIZE = uint64_t{16} << 20;
constexpr uint64_t MIB = uint64_t{1} << 20;

constexpr std::string_view REPLACED_BY_ANOTHER =
    " was replaced or changed by someone else after it was written: deliver "
    "again, and look at who may write to the client folder";
constexpr std::string_view STILL_BEING_WRITTEN =
    " is still being written, or held by another program: deliver it again "
    "once it is complete";
constexpr std::string_view HASH_FAILED = "the SHA-256 library failed";
constexpr std::string_view CURRENT = "current";

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

enum class Mode { DELIVER, DRY_RUN, CHECK, HELP, VERSION };

// A folder's entry, kept beyond the listing.
struct Entry {
  std::string name;
  bool plain_file;
  uint64_t size;
};

// A client file in the source folder and, once staged, what was copied.
struct File {
  const Component* component;
  uint64_t size = 0;  // as listed; once staged, as copied
  Sha256Digest digest{};
  FileFacts written{};  // the temporary's
};

struct Source {
  std::string folder;       // absolute, ending in a separator
  std::vector<File> files;  // in the order of COMPONENTS
  std::vector<Entry> ignored;
};

std::string JOIN(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text += part;
  return text;
}

// Why the program stops: its exit status and what it tells the user.
struct Failure {
  Failure() = default;
  Failure(DeliveryStatus why, std::initializer_list<std::string_view> text)
      : status(why), message(JOIN(text)) {}
  bool failed() const { return status != DELIVERED; }
  DeliveryStatus status = DELIVERED;
  std::string message;
};

std::string BECAUSE(int32_t status) {
  char text[512];
  ERROR_TEXT(status, text);
  return JOIN({": ", text});
}

int REPORT(const Failure& failure) {
  std::fprintf(stderr, "%s: %s\n", PROGRAM, failure.message.c_str());
  return failure.status;
}

int32_t LIST(const std::string& folder, std::vector<Entry>& entries) {
  entries.clear();
  return LIST_FOLDER(
      folder.c_str(),
      [](const FolderEntry& entry, void* list) {
        static_cast<std::vector<Entry>*>(list)->push_back(
            {std::string(entry.name), entry.plain_file, entry.size});
      },
      &entries);
}

// Whether two names are one, or with `ignoring_case` one but for the case of
// ASCII letters: the component names are plain ASCII, so folding those is
// all it takes to compare them as a file system that ignores case does.
bool SAME(std::string_view a, std::string_view b, bool ignoring_case) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return ignoring_case ? lower(x) == lower(y) : x == y;
         });
}

std::string HEX(const Sha256Digest& digest) {
  constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : digest)
    hex += {DIGITS[byte >> 4], DIGITS[byte & 0xF]};
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

// The mode and the two folders; false for a command line that is wrong.
// --help and --version answer whatever else is given.
bool PARSE(std::span<const std::string_view> arguments, Mode& mode,
           std::vector<std::string>& folders) {
  bool mode_given = false;
  for (const std::string_view argument : arguments) {
    if (argument == "--help" || argument == "--version") {
      mode = argument == "--help" ? Mode::HELP : Mode::VERSION;
      return true;
    }
    if (argument == "--dry-run" || argument == "--check") {
      if (mode_given) return false;
      mode_given = true;
      mode = argument == "--check" ? Mode::CHECK : Mode::DRY_RUN;
    } else if (argument.starts_with("-") || argument.empty()) {
      return false;
    } else {
      folders.emplace_back(argument);
    }
  }
  return folders.size() == 2;
}

// A progress line on standard error, redrawn as a large file is read, where
// standard error is a terminal.
struct Progress {
  std::string label;
  uint64_t total;
  bool shown = total >= PROGRESS_FROM_SIZE && ERRORS_GO_TO_TERMINAL();
  uint64_t last_percent = 101;
  ~Progress() {
    if (shown) std::fprintf(stderr, "\r%*s\r", 72, "");
  }
  void AT(uint64_t done) {
    // A source that grows meanwhile fails its copy; till then, 100 %.
    const uint64_t percent = shown ? std::min(done, total) * 100 / total : 0;
    if (!shown || percent == last_percent) return;
    last_percent = percent;
    std::fprintf(stderr, "\r%s: %3" PRIu64 "%% of %" PRIu64 " MiB",
                 label.c_str(), percent, (total + MIB - 1) / MIB);
    std::fflush(stderr);
  }
};

// Why a source file (named `shown`) did not open: `otherwise`, unless
// another program holds it.
Failure NOT_OPENED(int32_t status, std::string_view shown,
                   DeliveryStatus otherwise) {
  if (IS_HELD(status)) return {COPY_FAILED, {shown, STILL_BEING_WRITTEN}};
  return {otherwise, {"cannot read ", shown, BECAUSE(status)}};
}

// A file read whole: its SHA-256 and size, or why not.
struct Hashed {
  Failure failure;
  Sha256Digest digest{};
  uint64_t size = 0;
};

// Reads the plain file at `path` whole; nobody may write to it meanwhile.
// A failure says `status_if_failed` and names the file as `shown`. With
// `written`, the file is a temporary read back from the disk, which must be
// that very file.
Hashed HASH_FILE(const std::string& path, std::string_view shown,
                 DeliveryStatus status_if_failed,
                 const FileFacts* written = nullptr) {
  const bool back = written != nullptr;
  const std::string_view cannot = back ? "cannot read back " : "cannot read ";
  OpenFile in;
  FileFacts opened;
  if (const int32_t status = WITH_BUSY_RETRY([&] {
        return OPEN_FOR_READING(path.c_str(),
                                back ? Caching::FROM_DISK : Caching::USE_CACHE,
                                in, opened);
      }))
    return {back ? Failure{status_if_failed, {cannot, shown, BECAUSE(status)}}
                 : NOT_OPENED(status, shown, status_if_failed)};
  if (back && !opened.SAME_FILE_AS(*written))
    return {{status_if_failed, {shown, REPLACED_BY_ANOTHER}}};
  Sha256 hash;
  Progress progress{JOIN({back ? "checking " : "reading ", shown}),
                    opened.size};
  uint64_t total = 0;
  for (std::size_t got = 0;; total += got, progress.AT(total)) {
    if (const int32_t status = READ_SOME(in, BUFFER, got))
      return {{status_if_failed, {cannot, shown, BECAUSE(status)}}};
    if (got == 0) break;
    if (!hash.ADD({BUFFER, got})) return {{status_if_failed, {HASH_FAILED}}};
  }
  FileFacts now;
  if (const int32_t status = FACTS_OF(in, now))
    return {{status_if_failed, {cannot, shown, BECAUSE(status)}}};
  if (now != opened || total != opened.size)
    return {back ? Failure{status_if_failed,
                           {cannot, shown, ": it changed while it was read"}}
                 : Failure{status_if_failed,
                           {shown, " changed while it was read"}}};
  Hashed hashed{{}, {}, total};
  if (!hash.FINISH(hashed.digest))
    hashed.failure = {status_if_failed, {HASH_FAILED}};
  return hashed;
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
      if (*known != name && SAME(*known, name, true)) return known;
  return nullptr;
}

// The entry named `name`, compared as the client folder's file system does
// unless `exactly`; of a plain file only with `plain`.
const Entry* LISTED(const std::vector<Entry>& entries, std::string_view name,
                    bool plain = false, bool exactly = false) {
  for (const Entry& entry : entries)
    if (SAME(entry.name, name, !exactly && NAMES_IGNORE_CASE()))
      return plain && !entry.plain_file ? nullptr : &entry;
  return nullptr;
}

bool HOLDS(const Source& source, const Component& component) {
  return std::any_of(
      source.files.begin(), source.files.end(),
      [&](const File& file) { return file.component == &component; });
}

int32_t FULL_PATH(const std::string& folder, std::string& full) {
  Path path;
  const int32_t status = FULL_FOLDER_PATH(folder.c_str(), path);
  if (status == 0) full = path.VIEW();
  return status;
}

Failure READ_SOURCE(const std::string& folder, Source& source) {
  if (const int32_t status = FULL_PATH(folder, source.folder))
    return {SOURCE_NOT_USABLE,
            {"cannot open the source folder ", folder, BECAUSE(status)}};
  std::vector<Entry> entries;
  if (const int32_t status = LIST(source.folder, entries))
    return {SOURCE_NOT_USABLE,
            {"cannot list the source folder ", folder, BECAUSE(status)}};
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const Entry& entry : entries) {
    const Component* component = COMPONENT_NAMED(entry.name);
    if (component != nullptr && !entry.plain_file)
      return {SOURCE_NOT_USABLE,
              {entry.name,
               " in the source folder is not a plain file (a folder, a link "
               "or a device)"}};
    if (const std::string_view* twin =
            component ? nullptr : CASE_TWIN(entry.name))
      return {SOURCE_NOT_USABLE,
              {entry.name, " in the source folder differs from ", *twin,
               " only in case: rename it to the exact name"}};
    if (component == nullptr) source.ignored.push_back(entry);
  }
  for (const Component& component : COMPONENTS)
    if (const Entry* entry =
            LISTED(entries, component.working_name, true, true))
      source.files.push_back({&component, entry->size});
  if (!HOLDS(source, COMPONENTS.back()))
    return {SOURCE_NOT_USABLE,
            {"the source folder ", folder, " has no ", CURRENT_EXECUTABLE,
             ": an update run starts only when it is delivered"}};
  return {};
}

// --- The client folder: what it holds, and what a delivery would do -------

// The client folder's entries; a folder that cannot be listed is no client
// folder to work in.
Failure LIST_CLIENT(const std::string& client, std::vector<Entry>& entries) {
  if (const int32_t status = LIST(client, entries))
    return {CLIENT_FOLDER_NOT_USABLE,
            {"cannot list the client folder", BECAUSE(status)}};
  return {};
}

// Deliveries from earlier that wait in the client folder for a component
// the source does not hold: the next run installs them with this delivery.
void PRINT_WAITING(const Source& source, const std::vector<Entry>& client) {
  for (const Component& component : COMPONENTS)
    if (!HOLDS(source, component) && LISTED(client, component.delivery_name))
      std::printf(
          "note: %.*s waits from an earlier delivery; the next update run "
          "installs it with this one\n",
          static_cast<int>(component.delivery_name.size()),
          component.delivery_name.data());
}

std::string DELIVERED_AS(const Component& component, bool replacing,
                         std::string_view verb) {
  return JOIN({verb, " ", component.delivery_name,
               replacing ? " (replacing the delivery waiting there)" : ""});
}

// --check and --dry-run: one pass over the components that reads each
// source file and changes nothing. --check compares each with the client
// folder's working file, and each delivery still waiting there, which the
// next run installs, with the source: one that is not the source's is no
// update to this release. --dry-run says what a delivery would do.
int REVIEW(const Source& source, const std::string& client, Mode mode) {
  std::vector<Entry> entries;
  if (const Failure listed = LIST_CLIENT(client, entries); listed.failed())
    return REPORT(listed);
  const bool check = mode == Mode::CHECK;
  bool all_current = true;
  for (const Component& component : COMPONENTS) {
    const std::string_view name = component.working_name;
    const Entry* waiting = LISTED(entries, component.delivery_name);
    const bool in_source = HOLDS(source, component);
    Hashed wanted;
    if (in_source) {
      wanted =
          HASH_FILE(source.folder + std::string(name), name, SOURCE_NOT_USABLE);
      if (wanted.failure.failed()) return REPORT(wanted.failure);
      const Entry* there = check ? LISTED(entries, name, true) : nullptr;
      const Hashed had =
          there ? HASH_FILE(client + there->name, name, NOT_CURRENT) : Hashed{};
      const std::string state =
          !check                 ? DELIVERED_AS(component, waiting != nullptr,
                                                "would be delivered as")
          : there == nullptr     ? "missing from the client folder"
          : had.failure.failed() ? "different: " + had.failure.message
          : had.digest != wanted.digest
              ? JOIN({"different: the client folder's is ",
                      std::to_string(had.size), " bytes, SHA-256 ",
                      HEX(had.digest)})
              : std::string(CURRENT);
      all_current = all_current && state == CURRENT;
      PRINT_LINE(name, wanted.size, HEX(wanted.digest), state);
    }
    if (!check || waiting == nullptr || !waiting->plain_file) continue;
    const Hashed had =
        HASH_FILE(client + waiting->name, waiting->name, NOT_CURRENT);
    const bool same =
        in_source && !had.failure.failed() && had.digest == wanted.digest;
    all_current = all_current && same;
    PRINT_LINE(
        waiting->name, had.size, had.failure.failed() ? "-" : HEX(had.digest),
        had.failure.failed() ? "waiting: " + had.failure.message
        : same ? "waiting: the same as the source's; the next run installs it"
               : JOIN({"waiting: not the source's ", name,
                       "; the next run installs it"}));
  }
  if (check) return all_current ? DELIVERED : NOT_CURRENT;
  PRINT_WAITING(source, entries);
  std::printf("dry run: nothing was changed\n");
  return DELIVERED;
}

// --- The delivery ---------------------------------------------------------

std::string PART_NAME(const Component& component) {
  return JOIN({component.delivery_name, PART_SUFFIX});
}

// One file on its way to its temporary name: what the staging's calls back
// see, and why they stopped it.
struct Copying {
  std::string_view name;  // the working name
  std::string part;       // the temporary's name, as the messages show it
  Progress progress;
  Sha256 hash{};
  Hashed copied{};
};

// What a call back returns when it stops the copy; why is in `copied`.
constexpr int32_t STOPPED = -1;

// Each piece of the source as it is copied: hashed, its progress shown.
int32_t HASH_PIECE(std::span<const unsigned char> data, void* context) {
  Copying& copying = *static_cast<Copying*>(context);
  copying.progress.AT(copying.copied.size += data.size());
  if (copying.hash.ADD(data)) return 0;
  copying.copied.failure = {COPY_FAILED, {HASH_FAILED}};
  return STOPPED;
}

// The flushed temporary, before it is put in place, read back from the disk:
// it must be the very file written (so that no other user of the folder can
// slip another in between) and hold what was hashed.
int32_t CHECK_STAGED(const char* temporary, const FileFacts& written,
                     void* context) {
  Copying& copying = *static_cast<Copying*>(context);
  Hashed& copied = copying.copied;
  if (!copying.hash.FINISH(copied.digest)) {
    copied.failure = {COPY_FAILED, {HASH_FAILED}};
    return STOPPED;
  }
  const Hashed back = HASH_FILE(temporary, copying.part, COPY_FAILED, &written);
  copied.failure = back.failure;
  if (!back.failure.failed() && back.digest != copied.digest)
    copied.failure = {
        COPY_FAILED,
        {copying.part, " as read back differs from ", copying.name,
         ": the disk or the network changed the data"}};
  return copied.failure.failed() ? STOPPED : 0;
}

// Copies the source's `file` to its temporary in the client folder,
// flushed, read back and compared.
Failure COPY_CHECKED(const Source& source, const std::string& client,
                     File& file) {
  const std::string_view name = file.component->working_name;
  Copying copying{
      name, PART_NAME(*file.component), {JOIN({"copying ", name}), file.size}};
  const std::string_view part = copying.part;
  // Every user's update run reads what is delivered. The buffer is free:
  // the read-back comes after the copy.
  Staging staging{.piece = HASH_PIECE,
                  .buffer = BUFFER,
                  .check = CHECK_STAGED,
                  .context = &copying,
                  .readers = Readers::EVERYONE};
  const int32_t status =
      STAGE_COPY(JOIN({source.folder, name}).c_str(),
                 (client + copying.part).c_str(), staging, file.written);
  file.size = copying.copied.size;
  file.digest = copying.copied.digest;
  switch (status == 0 ? Step::NONE : staging.failed) {
    case Step::NONE:
      if (status == 0) return {};
      break;
    case Step::SOURCE:
      return NOT_OPENED(status, name, SOURCE_NOT_USABLE);
    case Step::READ:
      return {SOURCE_NOT_USABLE, {"cannot read ", name, BECAUSE(status)}};
    case Step::TEMPORARY:
      return {COPY_FAILED, {"cannot create ", part, BECAUSE(status)}};
    case Step::WRITE:
      return {COPY_FAILED, {"cannot write ", part, BECAUSE(status)}};
    case Step::CHANGED:
      return {COPY_FAILED,
              {name,
               " changed while it was copied: deliver it again once it is "
               "complete"}};
    case Step::PIECE:
    case Step::CHECK:
      if (copying.copied.failure.failed()) return copying.copied.failure;
      break;
  }
  return {COPY_FAILED, {"cannot copy ", name, " to ", part, BECAUSE(status)}};
}

Failure LOCK(const std::string& client) {
  const std::string lock = JOIN({client, FOLDER_LOCK_FILE});
  switch (TAKE_FOLDER_LOCK(lock.c_str(), FOLDER_LOCK_WAIT_LIMIT_MS)) {
    case FolderLock::HELD:
      return {};
    case FolderLock::FOLDER_READ_ONLY:
      return {CLIENT_FOLDER_NOT_USABLE,
              {"this user may not create files in the client folder ", client}};
    case FolderLock::BLOCKED: {
      char what[256];
      DESCRIBE(lock.c_str(), what);
      return {LOCK_NOT_HAD,
              {"the folder lock's name ", FOLDER_LOCK_FILE, " holds ", what,
               ", which is no lock and cannot be removed: remove it, then "
               "deliver again; nothing was changed"}};
    }
    case FolderLock::NOT_HAD:
      break;
  }
  return {LOCK_NOT_HAD,
          {"the folder lock ", FOLDER_LOCK_FILE, " stayed taken for ",
           std::to_string(FOLDER_LOCK_WAIT_LIMIT_MS / 1000),
           " s: an update run or another delivery is at work there; nothing "
           "was changed, try again"}};
}

// Removes every temporary this program may have left in the client folder.
// Returns the first failure's status.
int32_t REMOVE_PARTS(const std::string& client) {
  int32_t first = 0;
  for (const Component& component : COMPONENTS) {
    const int32_t status = REMOVE((client + PART_NAME(component)).c_str());
    if (first == 0) first = status;
  }
  return first;
}

int DELIVER_FILES(const Source& source, const std::string& client) {
  if (const Failure locked = LOCK(client); locked.failed())
    return REPORT(locked);
  // Lets go of the lock however the delivery ends.
  const struct Held {
    ~Held() { RELEASE_FOLDER_LOCK(); }
  } lock;
  std::vector<Entry> entries;
  if (const Failure listed = LIST_CLIENT(client, entries); listed.failed())
    return REPORT(listed);
  // What a killed delivery left: ours to remove, whoever made it.
  if (const int32_t status = REMOVE_PARTS(client))
    return REPORT({COPY_FAILED,
                   {"cannot remove a left-over ", PART_SUFFIX, " file",
                    BECAUSE(status)}});
  // A failure from here on leaves no temporary behind; best effort: the
  // next delivery removes what stays.
  const auto UNDONE = [&](const Failure& failure) {
    static_cast<void>(REMOVE_PARTS(client));
    return REPORT(failure);
  };
  // Every file complete and checked under its temporary name first, so that
  // a failure on the way leaves every delivery name as it was.
  std::vector<File> files = source.files;
  for (File& file : files)
    if (const Failure copied = COPY_CHECKED(source, client, file);
        copied.failed())
      return UNDONE(copied);
  // An executable of an earlier delivery that still waits goes first: a
  // run that started while the new files are renamed one by one would
  // install it with them. With none waiting, no run starts until this
  // delivery's own executable, renamed last, is in place.
  const bool executable_waited = LISTED(entries, NEW_EXECUTABLE) != nullptr;
  if (const int32_t status = REMOVE(JOIN({client, NEW_EXECUTABLE}).c_str()))
    return UNDONE(
        {COPY_FAILED,
         {"cannot remove the waiting ", NEW_EXECUTABLE, BECAUSE(status)}});
  // Then the renames, each one whole, the executable's last; each delivery
  // name must then hold the very file that was checked.
  for (const File& file : files) {
    const std::string_view name = file.component->delivery_name;
    const std::string part = PART_NAME(*file.component),
                      delivered = JOIN({client, name});
    if (const int32_t status = PUT_IN_PLACE((client + part).c_str(),
                                            delivered.c_str(), file.written))
      return UNDONE({COPY_FAILED,
                     {"cannot rename ", part, " to ", name, BECAUSE(status),
                      "; run the command again to complete the delivery"}});
    // A file there that is not the one checked must not wait for a run: it
    // goes too (best effort, as the parts). The change time is not
    // compared: a rename sets it (POSIX).
    FileFacts there;
    if (const int32_t status = FACTS_AT(delivered.c_str(), there))
      return UNDONE({COPY_FAILED, {"cannot look at ", name, BECAUSE(status)}});
    if (!there.SAME_FILE_AS(file.written) || there.size != file.written.size) {
      static_cast<void>(REMOVE(delivered.c_str()));
      return UNDONE({COPY_FAILED, {name, REPLACED_BY_ANOTHER}});
    }
    const bool waiting = name == NEW_EXECUTABLE
                             ? executable_waited
                             : LISTED(entries, name) != nullptr;
    PRINT_LINE(file.component->working_name, file.size, HEX(file.digest),
               DELIVERED_AS(*file.component, waiting, "delivered as"));
  }
  PRINT_WAITING(source, entries);
  std::printf(
      "delivered %zu file(s): the next update run in %s installs them\n",
      files.size(), client.c_str());
  return DELIVERED;
}

}  // namespace

int DELIVER(std::span<const std::string_view> arguments) {
  Mode mode = Mode::DELIVER;
  std::vector<std::string> folders;
  const bool understood = PARSE(arguments, mode, folders);
  if (!understood || mode == Mode::HELP) {
    std::fprintf(understood ? stdout : stderr,
                 "usage: %s [--dry-run | --check] SOURCE_FOLDER "
                 "CLIENT_FOLDER\n       %s --help | --version\n",
                 PROGRAM, PROGRAM);
    return understood ? DELIVERED : BAD_ARGUMENTS;
  }
  if (mode == Mode::VERSION) {
    std::printf("%s %s\n", PROGRAM, TALVEN_VERSION);
    return DELIVERED;
  }
  Source source;
  if (const Failure read = READ_SOURCE(folders[0], source); read.failed())
    return REPORT(read);
  std::string client;
  bool same = false;
  int32_t status = FULL_PATH(folders[1], client);
  if (status == 0)
    status = SAME_FOLDER(source.folder.c_str(), client.c_str(), same);
  if (status != 0)
    return REPORT(
        {CLIENT_FOLDER_NOT_USABLE,
         {"cannot open the client folder ", folders[1], BECAUSE(status)}});
  if (same)
    return REPORT({BAD_ARGUMENTS,
                   {"the source folder is the client folder itself: keep the "
                    "new files in a folder of their own"}});
  for (const Entry& entry : source.ignored)
    PRINT_LINE(entry.name, entry.size, "-", "ignored: not a client file");
  if (mode == Mode::DELIVER) return DELIVER_FILES(source, client);
  return REVIEW(source, client, mode);
}
