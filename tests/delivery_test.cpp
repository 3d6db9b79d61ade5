// The delivery program on the real portable routines over the fake
// primitives: a source and a client folder before, the command line, the
// exit status, what it says, and the client folder after. Every row also
// keeps the order that makes a delivery safe to interrupt: every file
// staged before the first rename, the waiting executable removed between,
// the executable renamed last, each read-back from the disk.

#include "delivery.h"

#include <gtest/gtest.h>

#include <optional>

#include "client_files.h"
#include "fake_primitives_for_testing.h"

namespace {

namespace fake = fake_primitives;
using Folder = std::map<std::string, std::string>;

const std::string SOURCE = "/new files/", CLIENT = "/client/";
const std::string EXE(CURRENT_EXECUTABLE), EXE_NEW(NEW_EXECUTABLE);
const std::string VER(VERSION_FILE), VER_NEW(NEW_VERSION_FILE);
const std::string NB(LIBRARY_COMPONENT_TABLE[0].working_file_name),
    NB_NEW(LIBRARY_COMPONENT_TABLE[0].new_file_name);
Folder With(Folder folder, const std::string& name, const std::string& data) {
  folder[name] = data;
  return folder;
}
const Folder NEW = {{EXE, "exe 2"}, {VER, "7.0.001"}, {NB, "nb 2"}};
const Folder OLD = {{EXE, "exe 1"}, {VER, "7.0.000"}, {NB, "nb 1"}};
const Folder DELIVERED =
    With(With(With(OLD, VER_NEW, "7.0.001"), NB_NEW, "nb 2"), EXE_NEW, "exe 2");

// What another process does to a file meanwhile.
std::function<void()> Garble(const std::string& path) {
  return [=] { fake::STATE.files.at(path)->data[0] ^= 1; };  // facts kept
}
std::function<void()> Grow(const std::string& path) {
  return [=] { fake::Append(path, "more"); };
}

struct Row {
  const char* name;
  std::vector<std::string> args;  // "S" and "C": the two folders
  Folder client;
  std::vector<fake::Fault> faults;
  int status;
  std::string says;  // on standard output for status 0 or 1, else on error
  std::optional<Folder> after = {};  // none: the client folder as it was
};

using enum fake::Disruption;
const std::vector<std::string> BOTH = {"S", "C"};

// clang-format off
const Row ROWS[] = {
    {"typical delivery", BOTH, OLD, {}, 0, "delivered 3 file(s)", DELIVERED},
    {"a waiting executable goes first", BOTH, With(OLD, EXE_NEW, "1.5"), {},
     0, "replacing the delivery waiting there", DELIVERED},
    {"a waiting executable that will not go", BOTH, With(OLD, EXE_NEW, "1.5"),
     {{"DELETE_NOW", 0, EXE_NEW}}, 6, "cannot remove the waiting " + EXE_NEW},
    {"read-back differs", BOTH, OLD,
     {{"OPEN_FOR_READING", 1, NB_NEW + ".part", NONE, 0,
       Garble(CLIENT + NB_NEW + ".part")}},
     6, NB_NEW + ".part as read back differs from " + NB},
    {"source changed while read", BOTH, OLD,
     {{"READ_SOME", 1, SOURCE + EXE, NONE, 0, Grow(SOURCE + EXE)}},
     6, EXE + " changed while it was copied"},
    {"source held by a writer", BOTH, OLD,
     {{"OPEN_FOR_READING", 0, SOURCE + VER, FAILS, fake::HELD}},
     6, VER + " is still being written"},
    // Another user's file slipped in under the .part before its rename.
    {"another file under the delivery name", BOTH, OLD,
     {{"RENAME", 1, EXE_NEW + ".part", NONE, 0,
       [] { fake::Put(CLIENT + EXE_NEW + ".part", "theirs"); }}},
     6, EXE_NEW + " was replaced or changed by someone else",
     With(With(OLD, VER_NEW, "7.0.001"), NB_NEW, "nb 2")},
    {"rename lost its reply", BOTH, OLD,
     {{"RENAME", 2, "", DONE_THEN_FAILS}}, 0, "delivered 3 file(s)", DELIVERED},
    {"lock held throughout", BOTH, OLD, {{"TRY_LOCK"}}, 5,
     "stayed taken for 60 s"},
    {"--dry-run", {"--dry-run", "S", "C"}, OLD, {}, 0, "nothing was changed"},
    {"--check: all current", {"--check", "S", "C"}, NEW, {}, 0, "current"},
    {"--check: a waiting one differs", {"--check", "S", "C"},
     With(NEW, EXE_NEW, "1.5"), {}, 1, "waiting: not the source's " + EXE},
    {"--help", {"--help"}, OLD, {}, 0, "usage: TalvenClient_DELIVER"},
    {"--version", {"--version"}, OLD, {}, 0,
     "TalvenClient_DELIVER " TALVEN_VERSION "\n"},
    {"unknown option", {"--force", "S", "C"}, OLD, {}, 2,
     "usage: TalvenClient_DELIVER"},
};
// clang-format on

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// The index of the first (or last) logged call that is `call` or begins
// with it and more arguments; -1 when none is.
int At(const std::string& call, bool last = false) {
  int found = -1;
  for (int i = 0; i < static_cast<int>(fake::STATE.calls.size()); ++i)
    if ((fake::STATE.calls[i] == call ||
         fake::STATE.calls[i].starts_with(call + " ")) &&
        (found == -1 || last))
      found = i;
  return found;
}

class Delivery : public testing::TestWithParam<Row> {};

TEST_P(Delivery, Row) {
  const Row& row = GetParam();
  fake::Reset();
  fake::Lay(SOURCE, NEW);
  fake::Lay(CLIENT, row.client);
  fake::STATE.faults = row.faults;
  std::vector<std::string> texts;
  for (const std::string& arg : row.args)
    texts.push_back(arg == "S" ? SOURCE : arg == "C" ? CLIENT : arg);
  const std::vector<std::string_view> args(texts.begin(), texts.end());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = DELIVER(args);
  const std::string out = testing::internal::GetCapturedStdout(),
                    err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(status, row.status);
  EXPECT_NE((row.status < 2 ? out : err).find(row.says), std::string::npos)
      << out << err;
  EXPECT_EQ(fake::Contents(CLIENT), row.after.value_or(row.client));
  EXPECT_EQ(fake::STATE.lock, "");
  const int first_rename = At("RENAME"),
            removed = At("DELETE_NOW " + CLIENT + EXE_NEW);
  if (first_rename == -1) return;
  EXPECT_LT(At("CREATE_NEW_FILE", true), removed);
  EXPECT_NE(removed, -1);
  EXPECT_LT(removed, first_rename);
  EXPECT_LT(At("TRY_LOCK", true), removed);
  EXPECT_GT(At("RELEASE_LOCK"), At("RENAME", true));
  if (const int exe = At("RENAME " + CLIENT + EXE_NEW + ".part"); exe != -1) {
    EXPECT_EQ(exe, At("RENAME", true));
  }
  for (const std::string& create : fake::Calls("CREATE_NEW_FILE"))
    EXPECT_TRUE(create.ends_with("EVERYONE")) << create;
  for (const std::string& open : fake::Calls("OPEN_FOR_READING")) {
    if (open.find(".part") != std::string::npos) {
      EXPECT_TRUE(open.ends_with("FROM_DISK")) << open;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Delivery, testing::ValuesIn(ROWS),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c)))
                               c = '_';
                           return name;
                         });

}  // namespace
