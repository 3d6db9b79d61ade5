// The platform layer's contract, the same rows on both platforms: each
// primitive, the routines on whole paths and the update run's routines on
// names, each test in a fresh temporary folder that is the current folder.
// On Windows, the share modes in which another program holds a file (the
// handle opened here, as tests/wine/holder.cpp opens it). Through the seam
// (platform_seam.h), the portable routines meet a primitive that fails, or
// that carries its change out and then reports failure, as a file server
// that lost its reply.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr char HERE = 'w';
constexpr int32_t LOST = ERROR_UNEXP_NET_ERR, BUSY = ERROR_SHARING_VIOLATION;
#else
constexpr char HERE = 'p';
constexpr int32_t LOST = EIO, BUSY = EBUSY;
#endif

// --- The seam: one call of one primitive disturbed --------------------------

// "PRIMITIVE N HOW": its Nth call fails (HOW F), fails as held (B) or is
// made and then reported failed (L).
struct Fault {
  std::string primitive;
  int nth = 0;
  char how = 0;
};
Fault fault;
int calls = 0;       // of fault.primitive so far
bool quick = false;  // the routines' pauses between tries skipped

template <typename Call>
int32_t Through(const char* primitive, Call call) {
  if (fault.primitive != primitive || ++calls != fault.nth) return call();
  if (fault.how != 'L') return fault.how == 'B' ? BUSY : LOST;
  const int32_t status = call();
  return status != 0 ? status : LOST;
}

}  // namespace

namespace platform {
#define SEAM(NAME, PARAMETERS, ARGUMENTS)                  \
  int32_t TEST_##NAME PARAMETERS {                         \
    return Through(#NAME, [&] { return NAME ARGUMENTS; }); \
  }
SEAM(CHECK_DELETABLE, (const char* p), (p))
SEAM(COPY_DATA, (const OpenFile& i, const OpenFile& o, uint64_t n), (i, o, n))
SEAM(CREATE_NEW_FILE,
     (const char* p, const OpenFile& l, Readers r, OpenFile& f), (p, l, r, f))
SEAM(DELETE_NOW, (const char* p), (p))
SEAM(DELETE_TEMPORARY, (const char* p), (p))
SEAM(FACTS_AT, (const char* p, FileFacts& x), (p, x))
SEAM(FACTS_OF, (const OpenFile& f, FileFacts& x), (f, x))
SEAM(FLUSH_FILE, (const OpenFile& f), (f))
SEAM(FLUSH_FOLDER_OF, (const char* p), (p))
SEAM(OPEN_FOR_READING, (const char* p, Caching c, OpenFile& f, FileFacts& x),
     (p, c, f, x))
SEAM(READ_SOME, (const OpenFile& f, std::span<unsigned char> b, size_t& n),
     (f, b, n))
SEAM(RENAME, (const char* s, const char* t, Replacing r), (s, t, r))
SEAM(WRITE_ALL, (const OpenFile& f, std::span<const unsigned char> d), (f, d))
#undef SEAM
// A look that fails sees nothing for certain.
Look TEST_LOOK_AT(const char* path) {
  Look look;
  const int32_t status = Through("LOOK_AT", [&] {
    look = LOOK_AT(path);
    return 0;
  });
  return status == 0 ? look : Look{};
}
void TEST_PAUSE_MS(uint32_t ms) {
  if (!quick) PAUSE_MS(ms);
}
}  // namespace platform

namespace {

using platform::OpenFile;  // not Win32's OpenFile

// --- Folders, made from and compared as "name=content ..." ------------------

using Folder = std::map<std::string, std::string>;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

Folder Parse(const std::string& entries) {
  Folder folder;
  std::istringstream in(entries);
  for (std::string item; in >> item;)
    folder[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
  return folder;
}

// A plain file with that content (read-only when it starts with ^), or
// "<dir>", "<fifo>", "<link:target>".
void Make(const std::string& entries) {
  for (const auto& [name, content] : Parse(entries)) {
    if (content == "<dir>") {
      fs::create_directory(name);
    } else if (content.starts_with("<link:")) {
      fs::create_symlink(content.substr(6, content.size() - 7), name);
#ifndef _WIN32
    } else if (content == "<fifo>") {
      mkfifo(name.c_str(), 0644);
#endif
    } else {
      std::ofstream(name, std::ios::binary)
          << content.substr(content[0] == '^');
      if (content[0] == '^')
        fs::permissions(name,
                        fs::perms::owner_write | fs::perms::group_write |
                            fs::perms::others_write,
                        fs::perm_options::remove);
    }
  }
}

Folder Snapshot() {
  Folder folder;
  for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
    std::string& content = folder[Utf8(entry.path().filename())];
    const fs::file_status status = entry.symlink_status();
    if (fs::is_symlink(status)) {
      content = "<link:" + Utf8(fs::read_symlink(entry.path())) + ">";
    } else if (fs::is_directory(status)) {
      content = "<dir>";
    } else if (fs::is_fifo(status)) {
      content = "<fifo>";
    } else {
      std::ostringstream text;
      text << std::ifstream(entry.path(), std::ios::binary).rdbuf();
      const bool read_only =
          (status.permissions() & fs::perms::owner_write) == fs::perms::none;
      content = (read_only ? "^" : "") + text.str();
    }
  }
  return folder;
}

class Contract : public ::testing::Test {
 protected:
  void SetUp() override {
    fault = {};
    calls = 0;
    quick = false;
    previous_ = fs::current_path();
    std::random_device random;
    do {
      dir_ = fs::temp_directory_path() / u8"talven Ördner ";
      dir_ += std::to_string(random());
    } while (!fs::create_directory(dir_));
    fs::current_path(dir_);
#ifndef _WIN32
    alarm(60);  // a call that waits on a FIFO ends the test, not the run
#endif
  }
  void TearDown() override {
#ifndef _WIN32
    alarm(0);
#endif
    fault = {};
    RELEASE_FOLDER_LOCK();
    fs::current_path(previous_);
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored))
      if (!entry.is_symlink())
        fs::permissions(entry.path(), fs::perms::owner_all,
                        fs::perm_options::add, ignored);
    fs::remove_all(dir_);
  }
  fs::path dir_, previous_;
};

// The rows of `table` that run on this platform (b: both, p: POSIX, w:
// Windows, n: Windows itself, where Wine differs).
template <typename Row, std::size_t N>
std::vector<Row> Here(const Row (&table)[N]) {
  std::vector<Row> rows;
  for (const Row& row : table)
    if (row.on == 'b' || row.on == HERE || (HERE == 'w' && row.on == 'n'))
      rows.push_back(row);
  return rows;
}
bool UnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
#else
  return false;
#endif
}
const auto NAME = [](const auto& info) { return std::string(info.param.name); };
template <typename Row>
requires requires(Row row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// --- One call: its outcome and the folder after -----------------------------

int32_t Exists(const char* name) {
  std::array<char, FILE_DETAILS_SIZE> details{};
  return CBL_CHECK_FILE_EXIST(name, details);
}
int32_t Looked(const char* path) {
  const Kind kind = LOOK_AT(path).kind;
  return kind == Kind::PLAIN_FILE ? 0
         : kind == Kind::ABSENT   ? STATUS_ABSENT
         : kind == Kind::OTHER    ? STATUS_INVALID
                                  : -1;
}
int32_t Opened(const char* path) {
  OpenFile file;
  FileFacts facts;
  return OPEN_FOR_READING(path, Caching::FROM_DISK, file, facts);
}
// Made like the file "like", then "x" written.
int32_t Created(const char* path) {
  OpenFile like, file;
  FileFacts facts;
  const unsigned char x[] = {'x'};
  if (const int32_t status =
          OPEN_FOR_READING("like", Caching::USE_CACHE, like, facts))
    return status;
  const int32_t status = CREATE_NEW_FILE(path, like, Readers::AS_SOURCE, file);
  return status ? status : WRITE_ALL(file, x);
}
// Staged under p.tmp, then put in place.
int32_t PutInPlace(const char* source, const char* target) {
  Staging staging;
  FileFacts written;
  const int32_t status = STAGE_COPY(source, "p.tmp", staging, written);
  return status ? status : PUT_IN_PLACE("p.tmp", target, written);
}
int32_t SetAsideRemoved() {
  REMOVE_SET_ASIDE_FILES();
  return 0;
}

#define ROUTINE(CODE, CALL)                                                    \
  {                                                                            \
    CODE, []([[maybe_unused]] const char* a, [[maybe_unused]] const char* b) { \
      return int32_t{CALL};                                                    \
    }                                                                          \
  }
const std::map<char, int32_t (*)(const char*, const char*)> kRoutines = {
    ROUTINE('E', Exists(a)),
    ROUTINE('D', CBL_DELETE_FILE(a)),
    ROUTINE('R', CBL_RENAME_FILE(a, b)),
    ROUTINE('C', CBL_COPY_FILE(a, b)),
    ROUTINE('O', CHECK_FILE_READABLE(a)),
    ROUTINE('X', CHECK_FILE_DELETABLE(a)),
    ROUTINE('Z', SetAsideRemoved()),
    ROUTINE('l', Looked(a)),
    ROUTINE('o', Opened(a)),
    ROUTINE('n', Created(a)),
    ROUTINE('d', DELETE_NOW(a)),
    ROUTINE('t', DELETE_TEMPORARY(a)),
    ROUTINE('x', CHECK_DELETABLE(a)),
    ROUTINE('r', RENAME(a, b, Replacing::NO)),
    ROUTINE('y', RENAME(a, b, Replacing::YES)),
    ROUTINE('m', REMOVE(a)),
    ROUTINE('P', PutInPlace(a, b)),
};
#undef ROUTINE

// The outcome of `call`, its code and up to two paths or name fields (_ for
// a space): 0 done, A nothing stood there, H held, F another failure (for
// LOOK_AT: a plain file, nothing, anything else), ? unseen.
char Outcome(const std::string& call) {
  std::istringstream in(call.substr(1));
  std::string first, second;
  in >> first >> second;
  std::replace(first.begin(), first.end(), '_', ' ');
  std::replace(second.begin(), second.end(), '_', ' ');
  const int32_t status = kRoutines.at(call[0])(first.c_str(), second.c_str());
  return status == 0         ? '0'
         : status == -1      ? '?'
         : IS_ABSENT(status) ? 'A'
         : IS_HELD(status)   ? 'H'
                             : 'F';
}

struct Row {
  const char* name;
  char on;
  const char *before, *call;
  char outcome;
  const char* after;       // "=": as before
  const char* fault = "";  // "PRIMITIVE N HOW" (the seam)
};
class Rows : public Contract, public ::testing::WithParamInterface<Row> {};

TEST_P(Rows, OutcomeAndFolderAfter) {
  const Row& row = GetParam();
  if (row.on == 'n' && UnderWine())
    GTEST_SKIP() << "Wine differs from Windows here";
  Make(row.before);
  std::istringstream(row.fault) >> fault.primitive >> fault.nth >> fault.how;
  EXPECT_EQ(Outcome(row.call), row.outcome);
  EXPECT_GE(calls, fault.nth) << "the fault was never met";
  fault = {};
  const std::string after = row.after;
  EXPECT_EQ(Snapshot(), Parse(after == "=" ? row.before : after));
}

const Row kRows[] = {
    // The update run's routines on name fields: a plain file only, a
    // rename that never replaces, a name that holds a separator refused,
    // a copy through a temporary that is ours whatever stands there.
    {"ExistPlainFile", 'b', "f=12345", "E f_x", '0', "="},
    {"ExistNotMissing", 'b', "g=1", "E f", 'A', "="},
    {"ExistNotLink", 'p', "t=1 f=<link:t>", "E f", 'A', "="},
    {"RenameMoves", 'b', "a=1", "R a_x b_y", '0', "b=1"},
    {"RenameWillNotReplace", 'b', "a=1 b=2", "R a b", 'F', "="},
    {"RenameOfMissingSource", 'b', "b=2", "R a b", 'A', "="},
    {"RenameRefusesSeparator", 'b', "a=1 d=<dir>", "R a d/a", 'F', "="},
    {"RenameRefusesBackslash", 'w', "a=1 d=<dir>", "R a d\\a", 'F', "="},
    {"DeleteFile", 'b', "a=1 b=2", "D a_b", '0', "b=2"},
    {"DeleteOfMissingName", 'b', "b=2", "D a", '0', "="},
    {"DeleteLeavesFolder", 'b', "d=<dir>", "D d", 'F', "="},
    {"DeleteOfEmptyName", 'b', "a=1", "D _a", 'F', "="},
    {"CopyReplacesTarget", 'b', "s=new t=old t.tmp=^stale", "C s t", '0',
     "s=new t=new"},
    {"CopyKeepsReadOnlyMode", 'p', "s=^ro", "C s t", '0', "s=^ro t=^ro"},
    {"CopyOfReadOnlyIsNot", 'w', "s=^ro", "C s t", '0', "s=^ro t=ro"},
    {"CopyOfMissingSource", 'b', "t=old", "C s t", 'A', "="},
    {"CopyFromFolder", 'b', "s=<dir> t=old", "C s t", 'F', "="},
    {"CopyFromFifo", 'p', "s=<fifo> t=old", "C s t", 'F', "="},
    {"CopyFromLink", 'p', "r=1 s=<link:r> t=old", "C s t", 'F', "="},
    {"CopyNeverThroughLink", 'p', "s=new x=theirs t.tmp=<link:x>", "C s t", '0',
     "s=new t=new x=theirs"},
    {"DeletableWhenMissing", 'b', "b=2", "X a", '0', "="},
    {"DeletableLinkNotFollowed", 'p', "a=<link:/>", "X a", '0', "="},
    {"NotDeletableFolder", 'b', "d=<dir>", "X d", 'F', "="},
    {"NotDeletableReadOnly", 'w', "a=^1", "X a", 'F', "="},
    {"ReadableNotMissing", 'b', "t=1", "O s", 'A', "="},
    {"ReadableNotFolder", 'b', "s=<dir>", "O s", 'F', "="},
    // What a killed run's delete left aside goes; other such names stay.
    {"SetAsideFilesRemoved", 'w', "a.0123ABCD.deleted=x b.XYZ.deleted=y", "Z",
     '0', "b.XYZ.deleted=y"},
    // The primitives: a link looked at, opened, created, deleted as itself;
    // a FIFO never waited on; anything at the name refuses a new file and a
    // rename that does not replace; a read-only file is not deleted.
    {"LookPlainFile", 'b', "f=1", "l f", '0', "="},
    {"LookAbsent", 'b', "g=1", "l f", 'A', "="},
    {"LookFolder", 'b', "f=<dir>", "l f", 'F', "="},
    {"LookLink", 'p', "t=1 f=<link:t>", "l f", 'F', "="},
    {"LookFifo", 'p', "f=<fifo>", "l f", 'F', "="},
    {"OpenAbsent", 'b', "g=1", "o f", 'A', "="},
    {"OpenNotFolder", 'b', "f=<dir>", "o f", 'F', "="},
    {"OpenNotLink", 'p', "t=1 f=<link:t>", "o f", 'F', "="},
    {"OpenNotFifo", 'p', "f=<fifo>", "o f", 'F', "="},
    {"CreateMakesFile", 'b', "like=l", "n p", '0', "like=l p=x"},
    {"CreateNotOverFile", 'b', "like=l p=old", "n p", 'F', "="},
    {"CreateNotOverFolder", 'b', "like=l p=<dir>", "n p", 'F', "="},
    {"CreateNotThroughLink", 'p', "like=l t=1 p=<link:t>", "n p", 'F', "="},
    {"CreateNotDanglingLink", 'p', "like=l p=<link:none>", "n p", 'F', "="},
    {"DeleteNowFile", 'b', "a=1 b=2", "d a", '0', "b=2"},
    {"DeleteNowAbsent", 'b', "b=2", "d a", 'A', "="},
    {"DeleteNowNotFolder", 'b', "d=<dir>", "d d", 'F', "="},
    {"DeleteNowLinkItself", 'p', "t=1 l=<link:t>", "d l", '0', "t=1"},
    {"DeleteNowNotReadOnly", 'w', "a=^1", "d a", 'F', "="},
    {"DeleteTemporaryReadOnly", 'b', "a=^1", "t a", '0', ""},
    {"DeletableNowFile", 'b', "a=1", "x a", '0', "="},
    {"DeletableNowNotReadOnly", 'w', "a=^1", "x a", 'F', "="},
    {"RenameNoNotOverFile", 'b', "a=1 b=2", "r a b", 'F', "="},
    {"RenameNoNotOverLink", 'p', "a=1 b=<link:none>", "r a b", 'F', "="},
    {"RenameNoOfAbsent", 'b', "b=2", "r a b", 'A', "="},
    {"RenameYesReplaces", 'b', "a=1 b=2", "y a b", '0', "b=1"},
    // Wine replaces a read-only target, which Windows refuses.
    {"RenameYesNotReadOnly", 'n', "a=1 b=^2", "y a b", 'F', "="},
    // The routines on whole paths.
    {"RemoveAbsent", 'b', "b=1", "m a", '0', "="},
    {"RemoveNotFolder", 'b', "d=<dir>", "m d", 'F', "="},
    {"PutInPlace", 'b', "s=new t=old", "P s t", '0', "s=new t=new"},
    // Through the seam: a change done, then reported failed, is done; a
    // failure leaves the folder as it was and no temporary; a moment's
    // holder is waited out.
    {"DeleteReplyLost", 'b', "a=1 b=2", "D a", '0', "b=2", "DELETE_NOW 1 L"},
    {"DeleteFailing", 'b', "a=1", "D a", 'F', "=", "DELETE_NOW 1 F"},
    {"DeleteHeldAMoment", 'b', "a=1", "D a", '0', "", "DELETE_NOW 1 B"},
    {"RemoveReplyLost", 'b', "a=1", "m a", '0', "", "DELETE_NOW 1 L"},
    {"RenameReplyLost", 'b', "a=1", "R a b", '0', "b=1", "RENAME 1 L"},
    {"RenameFailing", 'b', "a=1", "R a b", 'F', "=", "RENAME 1 F"},
    {"RenameHeldAMoment", 'b', "a=1", "R a b", '0', "b=1", "RENAME 1 B"},
    {"CopyReplyLost", 'b', "s=new t=old", "C s t", '0', "s=new t=new",
     "RENAME 1 L"},
    {"CopyPutFailing", 'b', "s=new t=old", "C s t", 'F', "=", "RENAME 1 F"},
    {"CopyTargetHeldAMoment", 'b', "s=new t=old", "C s t", '0', "s=new t=new",
     "RENAME 1 B"},
    {"CopyFlushFailing", 'b', "s=new t=old", "C s t", 'F', "=",
     "FLUSH_FILE 1 F"},
    {"CopyDataFailing", 'b', "s=new t=old", "C s t", 'F', "=", "COPY_DATA 1 F"},
    {"CopyCreateFailing", 'b', "s=new t=old", "C s t", 'F', "=",
     "CREATE_NEW_FILE 1 F"},
    {"CopyStaleReplyLost", 'b', "s=new t=old t.tmp=x", "C s t", '0',
     "s=new t=new", "DELETE_TEMPORARY 1 L"},
    {"PutInPlaceReplyLost", 'b', "s=new t=old", "P s t", '0', "s=new t=new",
     "RENAME 1 L"},
    {"PutInPlaceFailing", 'b', "s=new t=old", "P s t", 'F', "=", "RENAME 1 F"},
    {"DeletableHeldAMoment", 'b', "a=1", "X a", '0', "=",
     "CHECK_DELETABLE 1 B"},
    {"ReadableHeldAMoment", 'b', "a=1", "O a", '0', "=",
     "OPEN_FOR_READING 1 B"},
};
INSTANTIATE_TEST_SUITE_P(, Rows, ::testing::ValuesIn(Here(kRows)), NAME);

// --- Facts, data and modes ---------------------------------------------------

TEST_F(Contract, LookAndExistTellSizeAndTime) {
  Make("f=12345 d=<dir>");
  constexpr int64_t kWhen = 1'000'000'000;
  fs::last_write_time(
      "f", std::chrono::file_clock::from_sys(
               std::chrono::sys_seconds(std::chrono::seconds(kWhen))));
  const Look look = LOOK_AT("f");
  EXPECT_EQ(look.size, 5u);
  EXPECT_EQ(look.modified_s, kWhen);
  std::array<char, FILE_DETAILS_SIZE> details{};
  ASSERT_EQ(CBL_CHECK_FILE_EXIST("f", details), 0);
  int64_t told[2];
  std::memcpy(told, details.data(), sizeof told);
  EXPECT_EQ(told[0], 5);
  EXPECT_EQ(told[1], kWhen);
  for (const auto& [path, words] :
       {std::pair{"f", "a file"}, {"d", "a folder"}, {"none", "nothing"}}) {
    std::array<char, 256> text{};
    DESCRIBE(path, text);
    EXPECT_TRUE(std::string(text.data()).starts_with(words)) << text.data();
  }
}

// Written, flushed, closed and read back from the disk: the same bytes and
// file, facts that reading leaves alone; a writer shut out (Windows) or seen
// in the facts (POSIX).
TEST_F(Contract, WrittenThenReadFromDisk) {
  Make("like=l");
  std::vector<unsigned char> data(3 * READ_ALIGNMENT + 100), read;
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<unsigned char>(i * 7);
  OpenFile like, out, in;
  FileFacts facts, written, opened, at, after;
  ASSERT_EQ(OPEN_FOR_READING("like", Caching::USE_CACHE, like, facts), 0);
  ASSERT_EQ(CREATE_NEW_FILE("w", like, Readers::EVERYONE, out), 0);
  ASSERT_EQ(WRITE_ALL(out, data), 0);
  ASSERT_EQ(FLUSH_FILE(out), 0);
  ASSERT_EQ(FACTS_OF(out, written), 0);
  ASSERT_EQ(out.CLOSE(), 0);
  EXPECT_FALSE(out.IS_OPEN());
  EXPECT_EQ(written.size, data.size());
  ASSERT_EQ(OPEN_FOR_READING("w", Caching::FROM_DISK, in, opened), 0);
  EXPECT_TRUE(opened.SAME_FILE_AS(written));
  ASSERT_EQ(FACTS_AT("w", at), 0);
  EXPECT_EQ(at, opened);
  alignas(READ_ALIGNMENT) static unsigned char buffer[2 * READ_ALIGNMENT];
  for (std::size_t got = 1; got > 0;) {
    ASSERT_EQ(READ_SOME(in, buffer, got), 0);
    read.insert(read.end(), buffer, buffer + got);
  }
  EXPECT_EQ(read, data);
  ASSERT_EQ(FACTS_OF(in, after), 0);
  EXPECT_EQ(after, opened);
#ifdef _WIN32
  EXPECT_EQ(
      CreateFileA("w", GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
#else
  std::ofstream("w", std::ios::app) << "more";
  ASSERT_EQ(FACTS_OF(in, after), 0);
  EXPECT_NE(after, opened);
#endif
}

// COPY_DATA: the content from the start; a source shorter than told fails;
// Windows: the source's last write time; POSIX: holes stay holes.
TEST_F(Contract, CopyData) {
  const std::string content = std::string(100000, 'x') + "end";
  Make("s=" + content);
  OpenFile in, out, short_out;
  FileFacts facts, copied;
  ASSERT_EQ(OPEN_FOR_READING("s", Caching::USE_CACHE, in, facts), 0);
  ASSERT_EQ(CREATE_NEW_FILE("t", in, Readers::AS_SOURCE, out), 0);
  ASSERT_EQ(COPY_DATA(in, out, facts.size), 0);
  ASSERT_EQ(FACTS_OF(out, copied), 0);
  EXPECT_TRUE(HERE != 'w' || copied.changed == facts.changed);
  ASSERT_EQ(CREATE_NEW_FILE("u", in, Readers::AS_SOURCE, short_out), 0);
  EXPECT_NE(COPY_DATA(in, short_out, facts.size + 1), 0);
  EXPECT_EQ(out.CLOSE(), 0);
  EXPECT_EQ(CBL_COPY_FILE("s", "v"), 0);
  EXPECT_EQ(Snapshot()["t"], content);
  EXPECT_EQ(Snapshot()["v"], content);
#ifndef _WIN32
  constexpr off_t kFar = 64 << 20;
  std::ofstream("h") << "a";
  ASSERT_EQ(truncate("h", kFar), 0);
  std::ofstream("h", std::ios::app) << "z";
  struct stat st {};
  ASSERT_EQ(stat("h", &st), 0);
  if (st.st_blocks * 512 >= kFar)
    GTEST_SKIP() << "no holes on this file system";
  OpenFile hole_in, hole_out;
  ASSERT_EQ(OPEN_FOR_READING("h", Caching::USE_CACHE, hole_in, facts), 0);
  ASSERT_EQ(CREATE_NEW_FILE("g", hole_in, Readers::AS_SOURCE, hole_out), 0);
  ASSERT_EQ(COPY_DATA(hole_in, hole_out, facts.size), 0);
  ASSERT_EQ(fstat(static_cast<int>(hole_out.native), &st), 0);
  EXPECT_EQ(st.st_size, kFar + 1);
  EXPECT_LT(st.st_blocks * 512, kFar / 2);
#endif
}

#ifndef _WIN32
// Never set-ID bits or write for others; reading for everyone when asked;
// whatever the umask.
TEST_F(Contract, CreatedFileModes) {
  const struct {
    mode_t like;
    Readers readers;
    mode_t made;
  } cases[] = {{0754, Readers::AS_SOURCE, 0754},
               {06777, Readers::AS_SOURCE, 0755},
               {0600, Readers::EVERYONE, 0644},
               {0700, Readers::EVERYONE, 0744}};
  const mode_t previous = umask(077);
  for (const auto& c : cases) {
    Make("like=l");
    ASSERT_EQ(chmod("like", c.like), 0);
    OpenFile like, file;
    FileFacts facts;
    ASSERT_EQ(OPEN_FOR_READING("like", Caching::USE_CACHE, like, facts), 0);
    ASSERT_EQ(CREATE_NEW_FILE("p", like, c.readers, file), 0);
    struct stat st {};
    EXPECT_EQ(lstat("p", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.made) << std::oct << c.like;
    fs::remove("p");
    fs::remove("like");
  }
  umask(previous);
}
#endif

TEST_F(Contract, StampIsTheTimeInUpperCaseHex) {
  std::array<char, 8> stamp{};
  const auto before = static_cast<uint32_t>(std::time(nullptr));
  GET_STAMP(stamp);
  const auto after = static_cast<uint32_t>(std::time(nullptr));
  const std::string text(stamp.begin(), stamp.end());
  ASSERT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos)
      << text;
  const auto value = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
  EXPECT_LE(before, value);
  EXPECT_LE(value, after);
}

TEST_F(Contract, ListFolderTellsPlainFilesFromTheRest) {
  std::map<std::string, std::pair<bool, uint64_t>> seen,
      expected = {{"f", {true, 5}}, {"d", {false, 0}}};
  Make("f=12345 d=<dir>");
  if (HERE == 'p') {
    Make("l=<link:f> q=<fifo>");
    expected.insert({{"l", {false, 0}}, {"q", {false, 0}}});
  }
  EXPECT_EQ(LIST_FOLDER(
                ".",
                [](const FolderEntry& entry, void* context) {
                  (*static_cast<decltype(seen)*>(
                      context))[std::string(entry.name)] = {entry.plain_file,
                                                            entry.size};
                },
                &seen),
            0);
  EXPECT_EQ(seen, expected);
}

TEST_F(Contract, FullFolderPathAndSameFolder) {
  Make("d=<dir> f=1");
  if (HERE == 'p') Make("l=<link:d>");
  Path full, none;
  ASSERT_EQ(FULL_FOLDER_PATH(HERE == 'p' ? "l" : "d", full), 0);
  const char separator = static_cast<char>(fs::path::preferred_separator);
  EXPECT_TRUE(
      std::string(full.VIEW()).ends_with(Utf8(fs::canonical("d")) + separator))
      << full.CHARS();
  EXPECT_NE(FULL_FOLDER_PATH("f", none), 0);
  EXPECT_NE(FULL_FOLDER_PATH("none", none), 0);
  bool same = false;
  EXPECT_EQ(SAME_FOLDER("d", "d/../d", same), 0);
  EXPECT_TRUE(same);
  EXPECT_EQ(SAME_FOLDER("d", HERE == 'p' ? "l" : "d", same), 0);
  EXPECT_TRUE(same);
  EXPECT_EQ(SAME_FOLDER(".", "d", same), 0);
  EXPECT_FALSE(same);
}

// --- The folder lock ---------------------------------------------------------

const char* const kLock = "lck";
constexpr uint32_t kLongWaitMs = 50'000, kShortWaitMs = 300;

// Another program's hold on the lock file (POSIX: flock on a file of its
// own; Windows: no sharing); -1 when it cannot have it.
intptr_t HoldLock() {
#ifdef _WIN32
  const HANDLE file =
      CreateFileA(kLock, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(file);
#else
  const int fd = open(kLock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
#endif
}
void LetGo(intptr_t hold) {
#ifdef _WIN32
  CloseHandle(reinterpret_cast<HANDLE>(hold));
#else
  close(static_cast<int>(hold));
#endif
}

// One try, then a take within a short limit: a plain file at the lock's
// name that another holds counts as held; one left over is taken over; what
// is no plain file is removed, a link as itself, or reported when it stays.
struct LockRow {
  const char* name;
  char on;
  const char* folder;
  bool held_elsewhere;
  LockTry tried;
  FolderLock taken;
};
class LockRows : public Contract,
                 public ::testing::WithParamInterface<LockRow> {};

TEST_P(LockRows, OutcomeAndFolderAfter) {
  const LockRow& row = GetParam();
  Make(row.folder);
  Folder after = Snapshot();
  const intptr_t other = row.held_elsewhere ? HoldLock() : -1;
  ASSERT_EQ(other != -1, row.held_elsewhere);
  EXPECT_EQ(TRY_LOCK(kLock), row.tried);
  RELEASE_LOCK();
  EXPECT_EQ(ACQUIRE_FOLDER_LOCK(kLock, kShortWaitMs), row.taken);
  RELEASE_FOLDER_LOCK();
  if (other != -1) LetGo(other);
  if (row.taken == FolderLock::HELD) after.erase(kLock);
  EXPECT_EQ(Snapshot(), after);
}

const LockRow kLockRows[] = {
    {"LeftOverFileTakenOver", 'b', "lck=x", false, LockTry::HELD,
     FolderLock::HELD},
    {"HolderNeverLetsGo", 'b', "lck=", true, LockTry::TAKEN,
     FolderLock::NOT_HAD},
    {"FifoRemoved", 'p', "lck=<fifo>", false, LockTry::STALE_REMOVED,
     FolderLock::HELD},
    {"LinkRemoved", 'p', "x=1 lck=<link:x>", false, LockTry::STALE_REMOVED,
     FolderLock::HELD},
    {"DanglingLinkRemoved", 'p', "lck=<link:none>", false,
     LockTry::STALE_REMOVED, FolderLock::HELD},
    {"EmptyFolderRemoved", 'b', "lck=<dir>", false, LockTry::STALE_REMOVED,
     FolderLock::HELD},
    {"FullFolderReportedAtOnce", 'b', "lck=<dir> lck/x=1", false,
     LockTry::BLOCKED, FolderLock::BLOCKED},
};
INSTANTIATE_TEST_SUITE_P(, LockRows, ::testing::ValuesIn(Here(kLockRows)),
                         NAME);

#ifdef _WIN32
DWORD WINAPI LetGoLater(void* hold) {
  Sleep(300);
  LetGo(reinterpret_cast<intptr_t>(hold));
  return 0;
}
#endif

// Another holder is kept out until the release, which removes the lock
// file; a take that waits gets the lock once its holder lets go.
TEST_F(Contract, LockKeepsOthersOutUntilReleased) {
  ASSERT_EQ(ACQUIRE_FOLDER_LOCK(kLock, kLongWaitMs), FolderLock::HELD);
  EXPECT_EQ(HoldLock(), -1) << "two holders at once";
  RELEASE_FOLDER_LOCK();
  EXPECT_EQ(Snapshot(), Folder{});
  const intptr_t other = HoldLock();
  ASSERT_NE(other, -1);
#ifdef _WIN32
  const HANDLE later = CreateThread(nullptr, 0, LetGoLater,
                                    reinterpret_cast<void*>(other), 0, nullptr);
  EXPECT_EQ(ACQUIRE_FOLDER_LOCK(kLock, kLongWaitMs), FolderLock::HELD);
  WaitForSingleObject(later, INFINITE);
  CloseHandle(later);
#else
  std::thread later([other] {
    usleep(300'000);
    LetGo(other);
  });
  EXPECT_EQ(ACQUIRE_FOLDER_LOCK(kLock, kLongWaitMs), FolderLock::HELD);
  later.join();
#endif
}

#ifndef _WIN32
// The lock file opens to every user whatever the umask. As another user, a
// folder that user may not write to is no reason to wait, and a lock file
// that user may not open counts as held.
TEST_F(Contract, LockForEveryUser) {
  const mode_t previous = umask(077);
  ASSERT_EQ(ACQUIRE_FOLDER_LOCK(kLock, kShortWaitMs), FolderLock::HELD);
  umask(previous);
  struct stat st {};
  ASSERT_EQ(stat(kLock, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  RELEASE_FOLDER_LOCK();
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  const auto as_nobody = [] {
    const pid_t child = fork();
    if (child == 0) {
      constexpr uid_t kNobody = 65534;
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
      _exit(static_cast<int>(ACQUIRE_FOLDER_LOCK(kLock, kShortWaitMs)));
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status)
               ? WEXITSTATUS(status)
               : -1;
  };
  EXPECT_EQ(as_nobody(), static_cast<int>(FolderLock::FOLDER_READ_ONLY));
  Make("lck=");
  ASSERT_EQ(chmod(kLock, 0600), 0);
  ASSERT_EQ(chmod(".", 0777), 0);
  EXPECT_EQ(as_nobody(), static_cast<int>(FolderLock::NOT_HAD));
  EXPECT_EQ(Snapshot(), Parse("lck="));
}
#endif

#ifdef _WIN32
// --- The share modes: another program holds a file as the row says ---------
// The handle is opened here as holder.cpp opens it, then the routine meets
// it. A holder of attributes only takes no part in sharing. Whatever the
// routine frees is free at once, while the holder still holds.

struct Mode {
  const char* name;
  DWORD value;
};
const Mode kAccess[] = {{"r", GENERIC_READ},
                        {"w", GENERIC_WRITE},
                        {"rw", GENERIC_READ | GENERIC_WRITE},
                        {"attr", FILE_READ_ATTRIBUTES}};
const Mode kShare[] = {
    {"none", 0},
    {"r", FILE_SHARE_READ},
    {"rw", FILE_SHARE_READ | FILE_SHARE_WRITE},
    {"rd", FILE_SHARE_READ | FILE_SHARE_DELETE},
    {"all", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}};

struct MatrixRow {
  const char *name, *before, *held, *call;
  // Who lets the call through: n nobody; a a holder of attributes only; r
  // also one that only reads and shares reading; d also one that shares
  // deleting.
  char passes;
  const char *passed, *failed;  // "=": as before
};
const MatrixRow kMatrix[] = {
    {"ExecutableInUse", "e=1", "e", "X e", 'a', "=", "="},
    {"DeliveryReadable", "n=2", "n", "O n", 'r', "=", "="},
    {"CopyFromDelivery", "e=1 n=2", "n", "C n e", 'r', "e=2 n=2", "="},
    {"DeleteDelivery", "n=2", "n", "D n", 'a', "", "="},
    {"RenameLibrary", "l=3", "l", "R l l.old", 'd', "l.old=3", "="},
    {"CopyOverTarget", "e=1 n=2", "e", "C n e", 'n', "e=2 n=2", "="},
    {"CopyOverTemporary", "e=1 n=2 e.tmp=x", "e.tmp", "C n e", 'a', "e=2 n=2",
     "="},
    {"DeleteOldBackup", "l.old=0", "l.old", "D l.old", 'a', "", "="},
};

class Matrix
    : public Contract,
      public ::testing::WithParamInterface<std::tuple<MatrixRow, Mode, Mode>> {
};

TEST_P(Matrix, StatusAndFolderAfter) {
  const auto& [row, access, share] = GetParam();
  Make(row.before);
  quick = true;
  const HANDLE held =
      CreateFileA(row.held, access.value, share.value, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
  const bool attributes = access.value == FILE_READ_ATTRIBUTES;
  const bool reads = access.value == GENERIC_READ && share.value != 0;
  const bool deletes = (share.value & FILE_SHARE_DELETE) != 0;
  const bool passes =
      row.passes != 'n' && (attributes || (row.passes == 'r' && reads) ||
                            (row.passes == 'd' && deletes));
  const char outcome = Outcome(row.call);
  EXPECT_EQ(outcome == '0', passes) << outcome;
  const std::string told = passes ? row.passed : row.failed;
  const Folder after = Parse(told == "=" ? row.before : told);
  for (const auto& [name, content] : Parse(row.before)) {
    if (!after.contains(name)) {
      EXPECT_EQ(LOOK_AT(name.c_str()).kind, Kind::ABSENT) << name;
    }
  }
  CloseHandle(held);
  EXPECT_EQ(Snapshot(), after);
}
INSTANTIATE_TEST_SUITE_P(, Matrix,
                         ::testing::Combine(::testing::ValuesIn(kMatrix),
                                            ::testing::ValuesIn(kAccess),
                                            ::testing::ValuesIn(kShare)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  "_" + std::get<1>(info.param).name + "_" +
                                  std::get<2>(info.param).name;
                         });
#endif

static_assert(REPARSE_TAG_LEADS_ELSEWHERE(0xA000000C) &&   // symbolic link
              REPARSE_TAG_LEADS_ELSEWHERE(0xA0000003) &&   // mount point
              !REPARSE_TAG_LEADS_ELSEWHERE(0x80000013) &&  // deduplication
              !REPARSE_TAG_LEADS_ELSEWHERE(0x9000001A) &&  // cloud files
              !REPARSE_TAG_LEADS_ELSEWHERE(0x80000017));   // WOF
}  // namespace
