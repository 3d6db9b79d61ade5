// The update run against the fake platform: the folder before and after a
// run, the boxes it shows, the calls it makes and its exit status. Every text
// the user sees is written out here in full rather than taken from the code.

#include "update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>

#include "fake_platform_for_testing.h"

namespace {

using Folder = std::map<std::string, std::string>;

const std::string kNotice =
    "TALVEN needs to update a client side component.\n\nClick OK to continue";
const std::string kFinal =
    "TALVEN has successfully updated  - You may now logon";
const std::string kExeMissing =
    "TALVENClient_NEW.exe is missing.\n\nPlease contact your network "
    "administrator.";
const std::string kExeLocked =
    "The file TALVENClient.exe is locked or may be read-only.\n\nEnsure that "
    "no other users are locking this file and run TALVEN again.";
const std::string kExeNotRenamed =
    "TALVEN is unable to rename file TALVENClient_NEW.exe to "
    "TALVENClient.exe\n\nPlease contact your network administrator.";

struct Row {
  std::string new_name, working, backup, stamped, locked, not_renamed;
};
const Row kRows[] = {
    {"TALVENNetBridge40_new.dll", "TALVENNetBridge40.dll",
     "TALVENNetBridge40.old.dll", "TALVENNetBridge40.0123ABCD.DLL",
     "The file TALVENNetBridge40.dll is locked.\n\nEnsure that no other users "
     "are locking this file and run TALVEN again.",
     "TALVEN is unable to rename file TALVENNetBridge40_new.dll to "
     "TALVENNetBridge40.dll\n\nPlease contact your network administrator."},
    {"TALVENViewHostPanel_new.dll", "TALVENViewHostPanel.dll",
     "TALVENViewHostPanel.old.dll", "TALVENViewHostPanel.0123ABCD.DLL",
     "The file TALVENViewHostPanel.dll is locked.\n\nEnsure that no other "
     "users are locking this file and run TALVEN again.",
     "TALVEN is unable to rename file TALVENViewHostPanel_new.dll\n\nPlease "
     "contact your network administrator."},
    {"TALVENViewHostPanel40_new.dll", "TALVENViewHostPanel40.dll",
     "TALVENViewHostPanel40.old.dll", "TALVENViewHostPanel40.0123ABCD.DLL",
     "The file TALVENViewHostPanel40.dll is locked.\n\nEnsure that no other "
     "users are locking this file and run TALVEN again.",
     "TALVEN is unable to rename file TALVENViewHostPanel40_new.dll\n\nPlease "
     "contact your network administrator."},
};

// The tables write a folder as "name=content ..." and faults as
// "routine:name ...", the routine as C(heck), D(elete), Y (copy), R(ename),
// O (open for reading) or X (could be deleted). In names, "~" stands for
// "TALVEN".
std::string Tilde(std::string name) {
  if (name.starts_with('~')) name.replace(0, 1, "TALVEN");
  return name;
}

template <typename Add>
void Parse(const std::string& entries, char separator, Add add) {
  std::istringstream in(entries);
  for (std::string item; in >> item;) {
    const auto at = item.find(separator);
    add(item.substr(0, at), item.substr(at + 1));
  }
}

Folder F(const std::string& entries,
         std::function<std::string(std::string)> name = Tilde) {
  Folder folder;
  Parse(entries, '=', [&](auto n, auto content) { folder[name(n)] = content; });
  return folder;
}

std::vector<fake::Fault> Faults(
    const std::string& entries,
    std::function<std::string(std::string)> name = Tilde) {
  static const std::map<std::string, std::string> kRoutine = {
      {"C", "CBL_CHECK_FILE_EXIST"}, {"D", "CBL_DELETE_FILE"},
      {"Y", "CBL_COPY_FILE"},        {"R", "CBL_RENAME_FILE"},
      {"O", "CHECK_FILE_READABLE"},  {"X", "CHECK_FILE_DELETABLE"}};
  std::vector<fake::Fault> faults;
  Parse(entries, ':', [&](auto routine, auto n) {
    faults.push_back({kRoutine.at(routine), 0, n.empty() ? n : name(n)});
  });
  return faults;
}

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    // The run sets every field before it reads it; stale bytes must not count.
    std::memset(&WS, 'Z', sizeof WS);
    // Nor may the API entry's status reach the exit status.
    fake::STATE.cob32api_status = 1234;
  }

  // Runs once on `before` and checks what every run does: the notice first,
  // the folder lock taken after it and let go before the one box that
  // follows, every box laid out in full, the exit status in RETURN_CODE.
  int32_t Run(const Folder& before) {
    fake::STATE.folder = before;
    const int32_t status = UPDATE_RUN();
    const auto& calls = fake::STATE.calls;
    const auto& boxes = fake::STATE.boxes;
    if (calls.size() < 6 || boxes.empty()) {
      ADD_FAILURE() << "the run ended without its boxes";
      return status;
    }
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes.at(0).text, kNotice);
    EXPECT_EQ(boxes.at(0).style, 0x2040u);
    for (const fake::Box& box : boxes) {
      EXPECT_EQ(box.text_field,
                box.text + '\0' + std::string(1999 - box.text.size(), ' '));
      EXPECT_EQ(box.caption_field,
                std::string("TALVEN Client") + '\0' + std::string(86, ' '));
      EXPECT_FALSE(box.has_owner);
      EXPECT_FALSE(box.lock_held);
    }
    const std::vector<std::string> first(calls.begin(), calls.begin() + 3);
    const std::vector<std::string> last(calls.end() - 3, calls.end());
    EXPECT_EQ(first, (std::vector<std::string>{
                         "cob32api", "MessageBoxA",
                         "ACQUIRE_FOLDER_LOCK TalvenClient_SET.lck/21"}));
    EXPECT_EQ(last, (std::vector<std::string>{"RELEASE_FOLDER_LOCK", "cob32api",
                                              "MessageBoxA"}));
    EXPECT_EQ(fake::CountCalls("ACQUIRE_FOLDER_LOCK"), 1);
    EXPECT_EQ(fake::CountCalls("RELEASE_FOLDER_LOCK"), 1);
    // A left-over backup is deleted only when it was found.
    if (!before.contains("TALVENClient.OLD.exe")) {
      EXPECT_EQ(std::count(calls.begin(), calls.end(),
                           "CBL_DELETE_FILE TALVENClient.OLD.exe/21"),
                0);
    }
    // RETURN_CODE holds the exit status high byte first.
    const unsigned char high_byte_first[4] = {
        0, 0, 0, static_cast<unsigned char>(status)};
    EXPECT_EQ(std::memcmp(WS.RETURN_CODE, high_byte_first, 4), 0);
    return status;
  }

  // The box after the notice: information after success (and after a run
  // that left only the version file waiting), error otherwise.
  void ExpectLastBox(const std::string& text, int32_t status) {
    const fake::Box& box = fake::STATE.boxes.at(fake::STATE.boxes.size() - 1);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.style, status == 0 || status == 6 ? 0x2040u : 0x2010u);
  }
};

// --- Whole runs: client executable, version file, how a run ends -----------

struct Scenario {
  const char *name, *before, *faults, *after;
  std::string last_text;
  int32_t exit_status;
};
void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

class ScenarioTest : public UpdateRunTest,
                     public ::testing::WithParamInterface<Scenario> {};

TEST_P(ScenarioTest, FolderBoxAndExitStatus) {
  const Scenario& s = GetParam();
  fake::STATE.faults = Faults(s.faults);
  EXPECT_EQ(Run(F(s.before)), s.exit_status);
  EXPECT_EQ(fake::STATE.folder, F(s.after));
  ExpectLastBox(s.last_text, s.exit_status);
}

#define EXE "~Client_NEW.exe=7 ~Client.exe=6 "
#define LIBS                                         \
  "~NetBridge40_new.dll=b7 ~NetBridge40.dll=b6 "     \
  "~ViewHostPanel_new.dll=p7 ~ViewHostPanel.dll=p6 " \
  "~ViewHostPanel40_new.dll=q7 ~ViewHostPanel40.dll=q6"

const Scenario kScenarios[] = {
    {"ClientExecutableReplaced", EXE, "", "~Client.exe=7", kFinal, 0},
    {"NewExecutableMissing",
     "~Client.exe=6 ~Client.OLD.exe=5 ~Client_VER.txt=7 " LIBS, "",
     "~Client.exe=6 ~Client.OLD.exe=5 ~Client_VER.txt=7 " LIBS, kExeMissing, 1},
    {"ExecutableLocked", EXE "~Client.OLD.exe=5", "X:~Client.exe",
     "~Client_NEW.exe=7 ~Client.exe=6", kExeLocked, 2},
    {"ExecutableCopyFails", EXE "~Client_VER.txt=7", "Y:~Client_NEW.exe",
     "~Client_NEW.exe=7 ~Client.exe=6 ~Client_VER.txt=7", kExeNotRenamed, 3},
    // The deliveries go last, the executable's first.
    {"NewExecutableNotDeleted", EXE "~Client_VER.txt=7", "D:~Client_NEW.exe",
     "~Client_NEW.exe=7 ~Client.exe=7 ~ClientVersion.txt=7 ~Client_VER.txt=7",
     kExeNotRenamed, 3},
    {"VersionDeliveryNotDeleted", EXE "~Client_VER.txt=7", "D:~Client_VER.txt",
     "~Client.exe=7 ~ClientVersion.txt=7 ~Client_VER.txt=7", kFinal, 0},
    {"LeftOverBackupDeleted", EXE "~Client.OLD.exe=5", "", "~Client.exe=7",
     kFinal, 0},
    {"LeftOverBackupHeld", EXE "~Client.OLD.exe=5", "D:~Client.OLD.exe",
     "~Client.exe=7 ~Client.OLD.exe=5", kFinal, 0},
    {"NoCurrentExecutable", "~Client_NEW.exe=7", "", "~Client.exe=7", kFinal,
     0},
    {"DeliveryUnreadableExecutableKept", EXE "~Client.OLD.exe=5",
     "O:~Client_NEW.exe", "~Client_NEW.exe=7 ~Client.exe=6", kExeNotRenamed, 3},
    {"VersionFileReplaced", EXE "~ClientVersion.txt=6 ~Client_VER.txt=7", "",
     "~Client.exe=7 ~ClientVersion.txt=7", kFinal, 0},
    {"VersionFileInUseOnly", EXE "~ClientVersion.txt=6", "", "~Client.exe=7",
     kFinal, 0},
    {"VersionFileDeliveredOnly", EXE "~Client_VER.txt=7", "",
     "~Client.exe=7 ~ClientVersion.txt=7", kFinal, 0},
    // Reported by its status alone; both deliveries wait for the next run.
    {"VersionCopyFails", EXE "~ClientVersion.txt=6 ~Client_VER.txt=7",
     "Y:~Client_VER.txt", "~Client_NEW.exe=7 ~Client.exe=7 ~Client_VER.txt=7",
     kFinal, 6},
    {"VersionFileHeld", EXE "~ClientVersion.txt=6 ~Client_VER.txt=7",
     "D:~ClientVersion.txt", "~Client.exe=7 ~ClientVersion.txt=7", kFinal, 0},
    {"AllLibrariesReplaced", EXE LIBS, "",
     "~Client.exe=7 ~NetBridge40.dll=b7 ~NetBridge40.old.dll=b6 "
     "~ViewHostPanel.dll=p7 ~ViewHostPanel.old.dll=p6 "
     "~ViewHostPanel40.dll=q7 ~ViewHostPanel40.old.dll=q6",
     kFinal, 0},
    {"FirstLibraryLockedLaterOnesUntouched", EXE LIBS, "R:~NetBridge40.dll",
     "~Client_NEW.exe=7 ~Client.exe=7 " LIBS, kRows[0].locked, 4},
    {"SecondLibraryNotRenamed", EXE LIBS, "R:~ViewHostPanel_new.dll",
     "~Client_NEW.exe=7 ~Client.exe=7 ~NetBridge40.dll=b7 "
     "~NetBridge40.old.dll=b6 "
     "~ViewHostPanel_new.dll=p7 ~ViewHostPanel.old.dll=p6 "
     "~ViewHostPanel40_new.dll=q7 ~ViewHostPanel40.dll=q6",
     kRows[1].not_renamed, 5},
};

INSTANTIATE_TEST_SUITE_P(, ScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return info.param.name; });

// --- The folder lock ---------------------------------------------------------

// Without the lock, whether held by another run or never to be had here, a
// run only looks: missing when nothing is delivered, else locked.
TEST_F(UpdateRunTest, NoFolderLockNothingChanged) {
  for (const auto outcome : {platform::FolderLock::NOT_HAD,
                             platform::FolderLock::FOLDER_READ_ONLY}) {
    for (const char* files : {EXE "~Client_VER.txt=7 ~NetBridge40_new.dll=b7",
                              "~Client.exe=6 ~NetBridge40_new.dll=b7"}) {
      SetUp();
      fake::STATE.lock_outcome = outcome;
      const bool delivered = F(files).contains("TALVENClient_NEW.exe");
      EXPECT_EQ(Run(F(files)), delivered ? 2 : 1);
      EXPECT_EQ(fake::STATE.folder, F(files));
      ExpectLastBox(delivered ? kExeLocked : kExeMissing, delivered ? 2 : 1);
      for (const char* routine :
           {"CBL_DELETE_FILE", "CBL_COPY_FILE", "CBL_RENAME_FILE",
            "CHECK_FILE_READABLE", "CHECK_FILE_DELETABLE",
            "REMOVE_SET_ASIDE_FILES"})
        EXPECT_EQ(fake::CountCalls(routine), 0) << routine;
    }
  }
}

// --- One library, each state of its files, for each of the three rows -----

// Files are named by role: N(ew), W(orking), B(ackup), S(tamped backup).
struct LibraryCase {
  const char *name, *before, *faults, *after;
  int32_t exit_status;  // 0, 4 (locked message), 5 (rename-failure message)
  int stamps;           // GET_STAMP calls
};
void PrintTo(const LibraryCase& c, std::ostream* os) { *os << c.name; }

const LibraryCase kLibraryCases[] = {
    {"NewAbsentSkipped", "W=6 B=5", "D:B", "W=6 B=5", 0, 0},
    {"BackupAbsent", "N=7 W=6", "", "W=7 B=6", 0, 0},
    {"BackupDeleted", "N=7 W=6 B=5", "", "W=7 B=6", 0, 0},
    {"BackupHeldGivesStampedName", "N=7 W=6 B=5", "D:B", "W=7 B=5 S=6", 0, 1},
    {"FirstDelivery", "N=7", "", "W=7", 0, 0},
    {"FirstDeliveryLeavesBackupAlone", "N=7 B=5", "", "W=7 B=5", 0, 0},
    {"FirstDeliveryNotRenamed", "N=7", "R:N", "N=7", 5, 0},
    {"WorkingLockedBackupStaysDeleted", "N=7 W=6 B=5", "R:W", "N=7 W=6", 4, 0},
    {"NewNotRenamed", "N=7 W=6", "R:N", "N=7 B=6", 5, 0},
    {"NewNotRenamedAfterStamp", "N=7 W=6 B=5", "D:B R:N", "N=7 B=5 S=6", 5, 1},
};

class LibraryTest
    : public UpdateRunTest,
      public ::testing::WithParamInterface<std::tuple<int, LibraryCase>> {};

TEST_P(LibraryTest, FilesBoxAndExitStatus) {
  const auto& [index, c] = GetParam();
  const Row& row = kRows[index];
  const auto name = [&](const std::string& role) {
    return role == "N"   ? row.new_name
           : role == "W" ? row.working
           : role == "B" ? row.backup
                         : row.stamped;
  };
  fake::STATE.faults = Faults(c.faults, name);
  Folder before = F(c.before, name), after = F(c.after, name);
  before["TALVENClient_NEW.exe"] = after["TALVENClient.exe"] = "exe";
  // A failed row keeps the executable's delivery for the next run.
  if (c.exit_status != 0) after["TALVENClient_NEW.exe"] = "exe";

  const int32_t status = Run(before);
  EXPECT_EQ(status, c.exit_status);
  EXPECT_EQ(fake::STATE.folder, after);
  EXPECT_EQ(fake::CountCalls("GET_STAMP"), c.stamps);
  ExpectLastBox(status == 0   ? kFinal
                : status == 4 ? row.locked
                              : row.not_renamed,
                status);
}

INSTANTIATE_TEST_SUITE_P(, LibraryTest,
                         ::testing::Combine(::testing::Range(0, 3),
                                            ::testing::ValuesIn(kLibraryCases)),
                         [](const auto& info) {
                           return std::string(std::get<1>(info.param).name) +
                                  "_Row" +
                                  std::to_string(std::get<0>(info.param) + 1);
                         });

// --- Stamped backup names ---------------------------------------------------

TEST_F(UpdateRunTest, EachHeldBackupGetsItsOwnStamp) {
  fake::STATE.stamps = {"0123ABCD", "4567EF01", "89ABCDEF"};
  Folder before = {{"TALVENClient_NEW.exe", "exe"}};
  for (const Row& row : kRows) {
    before[row.new_name] = "7";
    before[row.working] = "6";
    before[row.backup] = "5";
    fake::STATE.faults.push_back({"CBL_DELETE_FILE", 0, row.backup});
  }
  EXPECT_EQ(Run(before), 0);

  // Positions counted from 1.
  const struct {
    std::string name, stamp;
    std::size_t stamp_at, dll_at, length;
  } expected[] = {
      {"TALVENNetBridge40.0123ABCD.DLL", "0123ABCD", 19, 27, 30},
      {"TALVENViewHostPanel.4567EF01.DLL", "4567EF01", 21, 29, 32},
      {"TALVENViewHostPanel40.89ABCDEF.DLL", "89ABCDEF", 23, 31, 34},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& e = expected[i];
    EXPECT_EQ(e.name.size(), e.length);
    EXPECT_EQ(e.name.substr(0, e.stamp_at - 1),
              kRows[i].backup.substr(0, kRows[i].backup.find('.') + 1));
    EXPECT_EQ(e.name.substr(e.stamp_at - 1, 8), e.stamp);
    EXPECT_EQ(e.name.substr(e.dll_at - 1), ".DLL");
    EXPECT_EQ(fake::STATE.folder[e.name], "6") << e.name;
    EXPECT_EQ(fake::STATE.folder[kRows[i].backup], "5");
    EXPECT_EQ(fake::STATE.folder[kRows[i].working], "7");
  }
  EXPECT_EQ(fake::CountCalls("GET_STAMP"), 3);
  EXPECT_EQ(fake::STATE.folder.size(), 10u);
}

TEST_F(UpdateRunTest, RowAfterStampedRowStartsClean) {
  // Row 2 is not delivered; row 3 has no old backup.
  fake::STATE.faults =
      Faults("D:~NetBridge40.old.dll D:~ViewHostPanel.old.dll");
  EXPECT_EQ(Run(F("~Client_NEW.exe=e ~NetBridge40_new.dll=b7 "
                  "~NetBridge40.dll=b6 ~NetBridge40.old.dll=b5 "
                  "~ViewHostPanel.dll=p6 ~ViewHostPanel.old.dll=p5 "
                  "~ViewHostPanel40_new.dll=q7 ~ViewHostPanel40.dll=q6")),
            0);
  EXPECT_EQ(fake::STATE.folder,
            F("~Client.exe=e ~NetBridge40.dll=b7 ~NetBridge40.old.dll=b5 "
              "~NetBridge40.0123ABCD.DLL=b6 "
              "~ViewHostPanel.dll=p6 ~ViewHostPanel.old.dll=p5 "
              "~ViewHostPanel40.dll=q7 ~ViewHostPanel40.old.dll=q6"));
  EXPECT_EQ(fake::CountCalls("GET_STAMP"), 1);
  EXPECT_EQ(fake::CountCalls("CBL_RENAME_FILE"), 4);
}

// --- The typical run, call by call ------------------------------------------

TEST_F(UpdateRunTest, TypicalRunCallsInOrder) {
  EXPECT_EQ(Run(F(EXE "~Client.OLD.exe=5 ~ClientVersion.txt=6 "
                      "~Client_VER.txt=7 ~NetBridge40_new.dll=b7 "
                      "~NetBridge40.dll=b6 ~NetBridge40.old.dll=b5")),
            0);
  const std::vector<std::string> expected = {
      "cob32api",
      "MessageBoxA",
      "ACQUIRE_FOLDER_LOCK TalvenClient_SET.lck/21",
      "REMOVE_SET_ASIDE_FILES",
      "CBL_CHECK_FILE_EXIST TALVENClient_NEW.exe/255",
      "CBL_CHECK_FILE_EXIST TALVENClient.OLD.exe/255",
      "CBL_DELETE_FILE TALVENClient.OLD.exe/21",
      "CHECK_FILE_READABLE TALVENClient_NEW.exe/255",
      "CHECK_FILE_DELETABLE TALVENClient.exe/17",
      "CBL_COPY_FILE TALVENClient_NEW.exe/255 TALVENClient.exe/255",
      "CBL_DELETE_FILE TALVENClientVersion.txt/24",
      "CBL_COPY_FILE TALVENClient_VER.txt/21 TALVENClientVersion.txt/24",
      "CBL_CHECK_FILE_EXIST TALVENNetBridge40_new.dll/255",
      "CBL_CHECK_FILE_EXIST TALVENNetBridge40.dll/255",
      "CBL_DELETE_FILE TALVENNetBridge40.old.dll/255",
      "CBL_RENAME_FILE TALVENNetBridge40.dll/255 TALVENNetBridge40.old.dll/255",
      "CBL_RENAME_FILE TALVENNetBridge40_new.dll/255 TALVENNetBridge40.dll/255",
      "CBL_CHECK_FILE_EXIST TALVENViewHostPanel_new.dll/255",
      "CBL_CHECK_FILE_EXIST TALVENViewHostPanel40_new.dll/255",
      "CBL_DELETE_FILE TALVENClient_NEW.exe/21",
      "CBL_DELETE_FILE TALVENClient_VER.txt/21",
      "RELEASE_FOLDER_LOCK",
      "cob32api",
      "MessageBoxA",
  };
  EXPECT_EQ(fake::STATE.calls, expected);
  EXPECT_EQ(fake::STATE.folder,
            F("~Client.exe=7 ~ClientVersion.txt=7 ~NetBridge40.dll=b7 "
              "~NetBridge40.old.dll=b6"));
  ExpectLastBox(kFinal, 0);
}

// --- Every call disrupted in turn, then one more run -----------------------

// The typical delivery with every library; each call of its run that looks
// at or changes the folder fails, is done and then reported failed, or is
// never made because the run is killed before it. Throughout, the client
// executable stands, old or new; and one more run, with no new delivery,
// leaves the whole new set with nothing waiting but, after a kill between
// the two removals, a version delivery equal to the version file.
TEST_F(UpdateRunTest, EveryDisruptionConvergesInOneMoreRun) {
  const Folder before = F(EXE
                          "~Client.OLD.exe=5 ~ClientVersion.txt=6 "
                          "~Client_VER.txt=7 ~NetBridge40.old.dll=b5 " LIBS);
  const Folder in_use =
      F("~Client.exe=7 ~ClientVersion.txt=7 "
        "~NetBridge40.dll=b7 ~ViewHostPanel.dll=p7 "
        "~ViewHostPanel40.dll=q7");
  fake::STATE.folder = before;
  UPDATE_RUN();
  const std::vector<std::string> calls = fake::STATE.calls;
  std::map<std::string, int> seen;
  int tried = 0;
  for (const std::string& call : calls) {
    const std::string routine = call.substr(0, call.find(' '));
    const int nth = ++seen[routine];
    if (!routine.starts_with("CBL_") && !routine.starts_with("CHECK_"))
      continue;
    // A look-up fails only where nothing stands: it can only be cut short.
    const bool looks_only = routine == "CBL_CHECK_FILE_EXIST";
    for (const auto disruption :
         {fake::Disruption::FAILS, fake::Disruption::DONE_THEN_FAILS,
          fake::Disruption::KILLED}) {
      if (looks_only && disruption != fake::Disruption::KILLED) continue;
      SCOPED_TRACE(call + " #" + std::to_string(nth) + " disruption " +
                   std::to_string(static_cast<int>(disruption)));
      fake::Reset();
      fake::STATE.folder = before;
      fake::STATE.faults = {{routine, nth, "", disruption}};
      try {
        UPDATE_RUN();
      } catch (const fake::Killed&) {
      }
      EXPECT_TRUE(fake::STATE.folder["TALVENClient.exe"] == "6" ||
                  fake::STATE.folder["TALVENClient.exe"] == "7");
      fake::STATE.faults.clear();
      const int32_t status = UPDATE_RUN();
      EXPECT_TRUE(status == 0 || status == 1) << status;
      Folder now = fake::STATE.folder;
      if (now.contains("TALVENClient_VER.txt")) {
        EXPECT_EQ(now["TALVENClient_VER.txt"], now["TALVENClientVersion.txt"]);
        now.erase("TALVENClient_VER.txt");
      }
      for (const auto& [name, content] : in_use) EXPECT_EQ(now[name], content);
      for (const char* waiting :
           {"TALVENClient_NEW.exe", "TALVENNetBridge40_new.dll",
            "TALVENViewHostPanel_new.dll", "TALVENViewHostPanel40_new.dll"})
        EXPECT_FALSE(now.contains(waiting)) << waiting;
      ++tried;
    }
  }
  EXPECT_GT(tried, 50);
}

}  // namespace
