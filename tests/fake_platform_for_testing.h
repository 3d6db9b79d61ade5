// An in-memory stand-in for the platform operations, linked into the unit
// tests in place of a real platform. It keeps the folder as a map from name
// to content, logs every call in order, keeps every message box, and fails
// whichever calls a test asks it to.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

namespace fake {

struct Box {
  std::string text, caption;  // up to the zero byte
  // The whole fields: 2000 and 100 bytes, the widths of the run's fields.
  std::string text_field, caption_field;
  uint32_t style = 0;
  bool has_owner = false;
  bool lock_held = false;  // the folder lock was held while it was shown
};

// How a call that a fault meets goes wrong.
enum class Disruption {
  FAILS,            // status 5, and no effect
  DONE_THEN_FAILS,  // the effect, then status 5: a reply lost
  KILLED,           // the process ends before the call: throws Killed
};
struct Killed {};

// Disrupts calls of `routine`: its nth call (from 1), or every call when nth
// is 0; with a `name`, only calls whose first name argument is that name.
struct Fault {
  std::string routine;
  int nth = 0;
  std::string name;
  Disruption disruption = Disruption::FAILS;
};

struct State {
  std::map<std::string, std::string> folder;
  // One line per call: the routine, then each name argument as the routine
  // sees it with the width of its field ("CBL_DELETE_FILE TALVENClient.exe/
  // 17"); "+" after the width when the field holds more than spaces after it.
  std::vector<std::string> calls;
  std::vector<Box> boxes;
  std::vector<Fault> faults;
  std::vector<std::string> stamps{"0123ABCD"};  // per GET_STAMP; last repeats
  int32_t cob32api_status = 0;
  // What ACQUIRE_FOLDER_LOCK answers.
  platform::FolderLock lock_outcome = platform::FolderLock::HELD;
  bool lock_held = false;
};

extern State STATE;

// Empties the folder, the logs and the faults, and restores the defaults.
void Reset();
// How many logged calls are of `routine`.
int CountCalls(const std::string& routine);

}  // namespace fake
