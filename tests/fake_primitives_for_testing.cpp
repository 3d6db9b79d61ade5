// The fake primitives: each declaration of platform.h's section 2 on the
// maps of fake_primitives_for_testing.h. Files keep their data while open,
// as on POSIX; a name that holds no plain file fails what needs one.

#include "fake_primitives_for_testing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fake_primitives {

State STATE;

namespace {

struct Handle {
  std::shared_ptr<File> file;
  std::string path;  // as opened, for the faults
  std::size_t position = 0;
};
std::map<intptr_t, Handle> HANDLES;
intptr_t next_handle = 3;
uint64_t next_id = 1;
int64_t next_change = 1;

std::string FolderOf(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1);
}

// Logs the call and meets its faults: returns the status it fails with
// (0: none); for a fault that lets it be done first, sets `then` instead,
// where the call has an effect to do.
int32_t Enter(const std::string& primitive, const std::string& path = {},
              const std::string& more = {}, int32_t* then = nullptr) {
  STATE.calls.push_back(primitive + (path.empty() ? "" : " " + path) +
                        (more.empty() ? "" : " " + more));
  int32_t status = 0;
  for (Fault& fault : STATE.faults) {
    if (fault.primitive != primitive || !path.ends_with(fault.path) ||
        (++fault.seen != fault.nth && fault.nth != 0))
      continue;
    if (fault.meanwhile) fault.meanwhile();
    if (fault.disruption == Disruption::DONE_THEN_FAILS && then != nullptr)
      *then = fault.status;
    else if (fault.disruption != Disruption::NONE)
      status = fault.status;
  }
  return status;
}

File* PlainAt(const std::string& path) {
  const auto at = STATE.files.find(path);
  return at == STATE.files.end() || !at->second->plain ? nullptr
                                                       : at->second.get();
}

platform::FileFacts FactsOf(const File& file) {
  return {file.data.size(), file.changed, 1, file.id, false};
}

void Open(const std::string& path, platform::OpenFile& file) {
  HANDLES[next_handle] = {STATE.files.at(path), path};
  file.native = next_handle++;
}

int32_t Remove(const std::string& primitive, const std::string& path) {
  int32_t then = 0;
  if (const int32_t status = Enter(primitive, path, {}, &then)) return status;
  if (!STATE.files.contains(path)) return ABSENT;
  if (PlainAt(path) == nullptr) return INVALID;
  STATE.files.erase(path);
  return then;
}

}  // namespace

void Reset() {
  STATE = State{};
  HANDLES.clear();
}

void Put(const std::string& path, std::string data) {
  STATE.files[path] = std::make_shared<File>(
      File{std::move(data), true, next_id++, next_change++});
}

void Append(const std::string& path, const std::string& data) {
  File& file = *STATE.files.at(path);
  file.data += data;
  file.changed = next_change++;
}

void Lay(const std::string& folder,
         const std::map<std::string, std::string>& files) {
  STATE.folders.insert(folder);
  for (const auto& [name, data] : files) Put(folder + name, data);
}

std::map<std::string, std::string> Contents(const std::string& folder) {
  std::map<std::string, std::string> contents;
  for (const auto& [path, file] : STATE.files)
    if (FolderOf(path) == folder && file->plain)
      contents[path.substr(folder.size())] = file->data;
  return contents;
}

std::vector<std::string> Calls(const std::string& primitive) {
  std::vector<std::string> calls;
  for (const std::string& call : STATE.calls)
    if (call.substr(0, call.find(' ')) == primitive) calls.push_back(call);
  return calls;
}

}  // namespace fake_primitives

namespace platform {

using namespace fake_primitives;

const int32_t STATUS_ABSENT = ABSENT;
const int32_t STATUS_INVALID = INVALID;
const bool IDENTITY_COSTS_AN_OPEN = false;

bool IS_ABSENT(int32_t status) { return status == ABSENT; }
bool IS_HELD(int32_t status) { return status == HELD; }

Look LOOK_AT(const char* path) {
  if (Enter("LOOK_AT", path)) return {};
  const auto at = STATE.files.find(path);
  if (at == STATE.files.end()) return {Kind::ABSENT};
  if (!at->second->plain) return {Kind::OTHER};
  return {Kind::PLAIN_FILE, at->second->data.size(), 0};
}

int32_t FACTS_AT(const char* path, FileFacts& facts) {
  if (const int32_t status = Enter("FACTS_AT", path)) return status;
  const auto at = STATE.files.find(path);
  if (at == STATE.files.end()) return ABSENT;
  facts = FactsOf(*at->second);
  return 0;
}

int32_t OPEN_FOR_READING(const char* path, Caching caching, OpenFile& file,
                         FileFacts& facts) {
  if (const int32_t status =
          Enter("OPEN_FOR_READING", path,
                caching == Caching::FROM_DISK ? "FROM_DISK" : "USE_CACHE"))
    return status;
  if (!STATE.files.contains(path)) return ABSENT;
  if (PlainAt(path) == nullptr) return INVALID;
  Open(path, file);
  facts = FactsOf(*PlainAt(path));
  return 0;
}

int32_t READ_SOME(const OpenFile& file, std::span<unsigned char> buffer,
                  std::size_t& got) {
  Handle& in = HANDLES.at(file.native);
  if (const int32_t status = Enter("READ_SOME", in.path)) return status;
  got =
      std::min(buffer.size(), in.file->data.size() -
                                  std::min(in.position, in.file->data.size()));
  std::memcpy(buffer.data(), in.file->data.data() + in.position, got);
  in.position += got;
  return 0;
}

int32_t FACTS_OF(const OpenFile& file, FileFacts& facts) {
  const Handle& open = HANDLES.at(file.native);
  if (const int32_t status = Enter("FACTS_OF", open.path)) return status;
  facts = FactsOf(*open.file);
  return 0;
}

int32_t CREATE_NEW_FILE(const char* path, const OpenFile& /*like*/,
                        Readers readers, OpenFile& file) {
  if (const int32_t status =
          Enter("CREATE_NEW_FILE", path,
                readers == Readers::EVERYONE ? "EVERYONE" : "AS_SOURCE"))
    return status;
  if (STATE.files.contains(path)) return EXISTS;
  if (!STATE.folders.contains(FolderOf(path))) return ABSENT;
  Put(path, "");
  Open(path, file);
  return 0;
}

int32_t WRITE_ALL(const OpenFile& file, std::span<const unsigned char> data) {
  Handle& out = HANDLES.at(file.native);
  if (const int32_t status = Enter("WRITE_ALL", out.path)) return status;
  out.file->data.append(reinterpret_cast<const char*>(data.data()),
                        data.size());
  out.file->changed = next_change++;
  return 0;
}

int32_t COPY_DATA(const OpenFile& in, const OpenFile& out, uint64_t size) {
  const Handle &from = HANDLES.at(in.native), &to = HANDLES.at(out.native);
  if (const int32_t status = Enter("COPY_DATA", from.path, to.path))
    return status;
  if (from.file->data.size() < size) return INVALID;
  to.file->data = from.file->data.substr(0, size);
  to.file->changed = next_change++;
  return 0;
}

int32_t FLUSH_FILE(const OpenFile& file) {
  return Enter("FLUSH_FILE", HANDLES.at(file.native).path);
}

int32_t OpenFile::CLOSE() {
  if (native == -1) return 0;
  const auto open = HANDLES.find(native);
  native = -1;
  if (open == HANDLES.end()) return 0;  // opened before a Reset
  const std::string path = open->second.path;
  HANDLES.erase(open);
  return Enter("CLOSE", path);
}

int32_t RENAME(const char* source, const char* target, Replacing replacing) {
  int32_t then = 0;
  if (const int32_t status = Enter(
          "RENAME", source,
          std::string(target) + (replacing == Replacing::YES ? " YES" : " NO"),
          &then))
    return status;
  if (PlainAt(source) == nullptr)
    return STATE.files.contains(source) ? INVALID : ABSENT;
  if (STATE.files.contains(target) &&
      (replacing == Replacing::NO || PlainAt(target) == nullptr))
    return EXISTS;
  if (!STATE.folders.contains(FolderOf(target))) return ABSENT;
  const std::shared_ptr<File> moved = STATE.files[source];
  STATE.files.erase(source);
  moved->changed = next_change++;  // as a rename sets the change time
  STATE.files[target] = moved;
  return then;
}

int32_t FLUSH_FOLDER_OF(const char* path) {
  return Enter("FLUSH_FOLDER_OF", path);
}

int32_t DELETE_NOW(const char* path) { return Remove("DELETE_NOW", path); }
int32_t DELETE_TEMPORARY(const char* path) {
  return Remove("DELETE_TEMPORARY", path);
}

int32_t CHECK_DELETABLE(const char* path) {
  if (const int32_t status = Enter("CHECK_DELETABLE", path)) return status;
  return STATE.files.contains(path) ? 0 : ABSENT;
}

LockTry TRY_LOCK(const char* path) {
  if (Enter("TRY_LOCK", path)) return LockTry::TAKEN;
  if (!STATE.folders.contains(FolderOf(path))) return LockTry::READ_ONLY;
  if (STATE.files.contains(path) && PlainAt(path) == nullptr)
    return LockTry::BLOCKED;
  Put(path, "");
  STATE.lock = path;
  return LockTry::HELD;
}

void RELEASE_LOCK() {
  Enter("RELEASE_LOCK", STATE.lock);
  STATE.files.erase(STATE.lock);
  STATE.lock.clear();
}

int32_t LIST_FOLDER(const char* folder, VisitEntry visit, void* context) {
  if (const int32_t status = Enter("LIST_FOLDER", folder)) return status;
  if (!STATE.folders.contains(folder)) return ABSENT;
  for (const auto& [path, file] : STATE.files)
    if (FolderOf(path) == folder)
      visit({std::string_view(path).substr(std::strlen(folder)), file->plain,
             file->plain ? file->data.size() : 0},
            context);
  return 0;
}

int32_t FULL_FOLDER_PATH(const char* folder, Path& full) {
  if (const int32_t status = Enter("FULL_FOLDER_PATH", folder)) return status;
  std::string path = folder;
  if (!path.ends_with('/')) path += '/';
  if (!STATE.folders.contains(path)) return ABSENT;
  full = Path(path);
  return 0;
}

int32_t SAME_FOLDER(const char* first, const char* second, bool& same) {
  if (const int32_t status = Enter("SAME_FOLDER", first, second)) return status;
  same = std::string_view(first) == second;
  return 0;
}

void DESCRIBE(const char* path, std::span<char> text) {
  const auto at = STATE.files.find(path);
  std::snprintf(text.data(), text.size(), "%s",
                at == STATE.files.end() ? "nothing"
                : at->second->plain     ? "a file"
                                        : "a folder");
}

void ERROR_TEXT(int32_t status, std::span<char> text) {
  std::snprintf(text.data(), text.size(), "error %d", status);
}

bool NAMES_IGNORE_CASE() { return false; }
bool ERRORS_GO_TO_TERMINAL() { return false; }
int64_t SECONDS_NOW() { return static_cast<int64_t>(STATE.clock_ms / 1000); }
uint64_t MONOTONIC_MS() { return STATE.clock_ms; }
void PAUSE_MS(uint32_t ms) { STATE.clock_ms += ms; }

}  // namespace platform
