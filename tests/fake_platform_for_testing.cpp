// The fake platform: every operation of platform.h on an in-memory folder.
// Deleting a missing name succeeds, a rename never replaces, a copy does.

#include "fake_platform_for_testing.h"

#include <algorithm>
#include <cstring>

#include "platform.h"

namespace fake {

State STATE;

void Reset() { STATE = State{}; }

int CountCalls(const std::string& routine) {
  return static_cast<int>(std::count_if(
      STATE.calls.begin(), STATE.calls.end(), [&](const std::string& call) {
        return call.substr(0, call.find(' ')) == routine;
      }));
}

namespace {

constexpr int32_t MISSING = 2, EXISTS = 17, FAILED = 5;

std::string NameOf(std::string_view field) {
  return std::string(field.substr(0, std::min(field.find(' '), field.size())));
}

// Logs the call and tells whether a fault disrupts it: FAILS returns true,
// DONE_THEN_FAILS sets `reply_lost`, KILLED throws.
bool Enter(const std::string& routine, std::string_view first = {},
           std::string_view second = {}, bool* reply_lost = nullptr) {
  std::string line = routine;
  for (std::string_view field : {first, second}) {
    if (field.empty()) continue;
    const std::string name = NameOf(field);
    const bool clean =
        field.find_first_not_of(' ', name.size()) == std::string_view::npos;
    line +=
        ' ' + name + '/' + std::to_string(field.size()) + (clean ? "" : "+");
  }
  STATE.calls.push_back(line);
  const int nth = CountCalls(routine);
  for (const Fault& f : STATE.faults) {
    if (f.routine != routine || (f.nth != 0 && f.nth != nth) ||
        (!f.name.empty() && f.name != NameOf(first)))
      continue;
    if (f.disruption == Disruption::KILLED) throw Killed{};
    if (f.disruption == Disruption::FAILS || reply_lost == nullptr) return true;
    *reply_lost = true;
  }
  return false;
}

}  // namespace
}  // namespace fake

namespace platform {

using namespace fake;

int32_t CBL_CHECK_FILE_EXIST(std::string_view name,
                             std::span<char, FILE_DETAILS_SIZE> details) {
  if (Enter("CBL_CHECK_FILE_EXIST", name)) return FAILED;
  if (!STATE.folder.contains(NameOf(name))) return MISSING;
  std::memset(details.data(), 0, details.size());
  return 0;
}

// A name-changing routine whose reply a fault loses does its work and then
// reports failure, as a real platform does when even its second look at
// the names fails.
int32_t CBL_DELETE_FILE(std::string_view name) {
  bool reply_lost = false;
  if (Enter("CBL_DELETE_FILE", name, {}, &reply_lost)) return FAILED;
  STATE.folder.erase(NameOf(name));
  return reply_lost ? FAILED : 0;
}

int32_t CBL_RENAME_FILE(std::string_view source, std::string_view target) {
  bool reply_lost = false;
  if (Enter("CBL_RENAME_FILE", source, target, &reply_lost)) return FAILED;
  const auto from = STATE.folder.find(NameOf(source));
  if (from == STATE.folder.end()) return MISSING;
  if (!STATE.folder.emplace(NameOf(target), from->second).second) return EXISTS;
  STATE.folder.erase(from);
  return reply_lost ? FAILED : 0;
}

int32_t CBL_COPY_FILE(std::string_view source, std::string_view target) {
  bool reply_lost = false;
  if (Enter("CBL_COPY_FILE", source, target, &reply_lost)) return FAILED;
  const auto from = STATE.folder.find(NameOf(source));
  if (from == STATE.folder.end()) return MISSING;
  STATE.folder[NameOf(target)] = from->second;
  return reply_lost ? FAILED : 0;
}

int32_t CHECK_FILE_READABLE(std::string_view name) {
  if (Enter("CHECK_FILE_READABLE", name)) return FAILED;
  return STATE.folder.contains(NameOf(name)) ? 0 : MISSING;
}

int32_t CHECK_FILE_DELETABLE(std::string_view name) {
  return Enter("CHECK_FILE_DELETABLE", name) ? FAILED : 0;
}

void REMOVE_SET_ASIDE_FILES() { Enter("REMOVE_SET_ASIDE_FILES"); }

void GET_STAMP(std::span<char, 8> stamp) {
  Enter("GET_STAMP");
  const std::size_t call = CountCalls("GET_STAMP") - 1;
  const std::string& value =
      STATE.stamps[std::min(call, STATE.stamps.size() - 1)];
  for (std::size_t i = 0; i < stamp.size(); ++i)
    stamp[i] = i < value.size() ? value[i] : '?';
}

int32_t cob32api() {
  Enter("cob32api");
  return STATE.cob32api_status;
}

int32_t MessageBoxA(void* owner, const char* text, const char* caption,
                    uint32_t style) {
  Enter("MessageBoxA");
  STATE.boxes.push_back({text, caption, std::string(text, 2000),
                         std::string(caption, 100), style, owner != nullptr,
                         STATE.lock_held});
  return 1;  // IDOK
}

FolderLock ACQUIRE_FOLDER_LOCK(std::string_view name,
                               uint32_t /*wait_limit_ms*/) {
  Enter("ACQUIRE_FOLDER_LOCK", name);
  STATE.lock_held = STATE.lock_outcome == FolderLock::HELD;
  return STATE.lock_outcome;
}

void RELEASE_FOLDER_LOCK() {
  Enter("RELEASE_FOLDER_LOCK");
  STATE.lock_held = false;
}

}  // namespace platform
