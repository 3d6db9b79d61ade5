// An in-memory stand-in for the platform's primitives (section 2 of
// platform.h), linked with the real portable routines (platform.cpp) into
// the delivery's unit tests. Folders and files live in maps; every call is
// logged; a test can fail any call, or carry it out and then report failure,
// and have another process change a file at that moment.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace fake_primitives {

// What the fake's statuses mean (IS_ABSENT, IS_HELD and the rest).
inline constexpr int32_t ABSENT = 2, FAILED = 5, EXISTS = 17, INVALID = 22,
                         HELD = 32;

struct File {
  std::string data;
  bool plain = true;  // false: a folder or a link stands at the name
  uint64_t id = 0;    // which file it is: a rename keeps it
  int64_t changed = 0;
};

enum class Disruption {
  NONE,             // only what `meanwhile` does
  FAILS,            // `status`, and no effect
  DONE_THEN_FAILS,  // the effect, then `status`: a reply lost
};
// Disrupts the `nth` call (from 1; every call when 0) of `primitive` whose
// path ends in `path` (any path when empty); `meanwhile` runs first, as
// another process acting at that moment.
struct Fault {
  std::string primitive;
  int nth = 0;
  std::string path = {};
  Disruption disruption = Disruption::FAILS;
  int32_t status = FAILED;
  std::function<void()> meanwhile = {};
  int seen = 0;
};

struct State {
  std::set<std::string> folders;  // whole paths ending in '/'
  std::map<std::string, std::shared_ptr<File>> files;  // by whole path
  // One line per call: the primitive and its paths ("RENAME /a /b"); an
  // open adds USE_CACHE or FROM_DISK, a create AS_SOURCE or EVERYONE.
  std::vector<std::string> calls;
  std::vector<Fault> faults;
  std::string lock;       // the lock file this process holds; empty: none
  uint64_t clock_ms = 0;  // advanced by PAUSE_MS only
};
extern State STATE;

// Empties the folders, the log and the faults.
void Reset();
// Makes the folder `folder` (ending in '/') holding `files` (name to
// content).
void Lay(const std::string& folder,
         const std::map<std::string, std::string>& files);
// The plain files of `folder` (ending in '/'), name to content.
std::map<std::string, std::string> Contents(const std::string& folder);
// Puts a new file at `path` in place of what stood there.
void Put(const std::string& path, std::string data);
// Appends to the file at `path`, as a writer of its own would: its change
// time changes too.
void Append(const std::string& path, const std::string& data);
// The logged calls of `primitive`, in order.
std::vector<std::string> Calls(const std::string& primitive);

}  // namespace fake_primitives
