// The POSIX platform routines on a real folder: each test runs in a fresh
// temporary directory that is its current working directory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform.h"

namespace {

namespace fs = std::filesystem;
using Folder = std::map<std::string, std::string>;

// A name as the run hands it over: the name, then spaces to 255 characters.
std::string Field(const std::string& name) {
  return name + std::string(255 - name.size(), ' ');
}

mode_t ModeOf(const std::string& name) {
  struct stat st {};
  EXPECT_EQ(lstat(name.c_str(), &st), 0) << name;
  return st.st_mode & 07777;
}

// The entries of "name=content ...".
Folder Parse(const std::string& entries) {
  Folder folder;
  std::istringstream in(entries);
  for (std::string item; in >> item;)
    folder[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
  return folder;
}

// Makes the entries of "name=content ...": a regular file with that content,
// or by kind "<dir>", "<fifo>", "<sock>", "<link:target>".
void Make(const std::string& entries) {
  for (const auto& [name, content] : Parse(entries)) {
    if (content == "<dir>") {
      mkdir(name.c_str(), 0755);
    } else if (content == "<fifo>") {
      mkfifo(name.c_str(), 0644);
    } else if (content == "<sock>") {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strcpy(address.sun_path, name.c_str());
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      close(fd);
    } else if (content.starts_with("<link:")) {
      symlink(content.substr(6, content.size() - 7).c_str(), name.c_str());
    } else {
      std::ofstream(name, std::ios::binary) << content;
    }
  }
}

// The folder's entries in the form Make() takes them.
Folder Snapshot() {
  Folder folder;
  for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    std::ostringstream content;
    if (entry.is_symlink())
      content << "<link:" << fs::read_symlink(name).string() << '>';
    else if (entry.is_directory())
      content << "<dir>";
    else if (entry.is_fifo())
      content << "<fifo>";
    else if (entry.is_socket())
      content << "<sock>";
    else
      content << std::ifstream(name, std::ios::binary).rdbuf();
    folder[name] = content.str();
  }
  return folder;
}

class PosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = fs::temp_directory_path() / "talven_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    previous_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    alarm(0);
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  fs::path dir_, previous_;
};

// --- CBL_CHECK_FILE_EXIST: a regular file only -----------------------------

struct ExistenceCase {
  const char *name, *folder;
  bool found;
};
void PrintTo(const ExistenceCase& c, std::ostream* os) { *os << c.name; }

class ExistenceTest : public PosixTest,
                      public ::testing::WithParamInterface<ExistenceCase> {};

TEST_P(ExistenceTest, ZeroOnlyForRegularFile) {
  Make(GetParam().folder);
  std::array<char, platform::FILE_DETAILS_SIZE> details{};
  EXPECT_EQ(platform::CBL_CHECK_FILE_EXIST(Field("f"), details) == 0,
            GetParam().found);
  int64_t size = 0;
  std::memcpy(&size, details.data(), sizeof size);
  EXPECT_EQ(size, GetParam().found ? 5 : 0);
}

const ExistenceCase kExistenceCases[] = {
    {"RegularFile", "f=12345", true},
    {"Missing", "g=12345", false},
    {"Directory", "f=<dir>", false},
    {"Fifo", "f=<fifo>", false},
    {"Socket", "f=<sock>", false},
    {"SymlinkToFile", "t=12345 f=<link:t>", false},
    {"DanglingSymlink", "f=<link:nowhere>", false},
};
INSTANTIATE_TEST_SUITE_P(, ExistenceTest, ::testing::ValuesIn(kExistenceCases),
                         [](const auto& info) { return info.param.name; });

// --- Rename, delete and copy: status and the folder after -------------------

struct FileCase {
  const char *name, *before;
  char routine;  // R(ename), D(elete), C(opy), O (open for reading),
                 // X (could be deleted: nothing changes)
  const char *first, *second;
  bool succeeds;
  const char* after;
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class FileTest : public PosixTest,
                 public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileTest, StatusAndFolderAfter) {
  const FileCase& c = GetParam();
  Make(c.before);
  alarm(60);  // a copy that waits on a FIFO ends the test instead of hanging
  const int32_t status =
      c.routine == 'R'   ? platform::CBL_RENAME_FILE(c.first, c.second)
      : c.routine == 'D' ? platform::CBL_DELETE_FILE(c.first)
      : c.routine == 'O' ? platform::CHECK_FILE_READABLE(c.first)
      : c.routine == 'X' ? platform::CHECK_FILE_DELETABLE(c.first)
                         : platform::CBL_COPY_FILE(c.first, c.second);
  alarm(0);
  EXPECT_EQ(status == 0, c.succeeds) << status;
  EXPECT_EQ(Snapshot(), Parse(c.after));
}

// Every failing copy leaves the target as it was and no temporary behind.
const FileCase kFileCases[] = {
    {"RenameMoves", "a=1", 'R', "a ", "b ", true, "b=1"},
    {"RenameWillNotReplace", "a=1 b=2", 'R', "a ", "b ", false, "a=1 b=2"},
    {"RenameOfMissingSource", "b=2", 'R', "a ", "b ", false, "b=2"},
    {"RenameNamesEndAtSpace", "a=1", 'R', "a x", "b y", true, "b=1"},
    {"DeleteFile", "a=1 b=2", 'D', "a ", "", true, "b=2"},
    {"DeleteOfMissingName", "b=2", 'D', "a ", "", true, "b=2"},
    {"DeleteLeavesDirectory", "d=<dir>", 'D', "d ", "", false, "d=<dir>"},
    {"DeleteNameEndsAtSpace", "a=1 b=2", 'D', "a b", "", true, "b=2"},
    {"CopyReplacesTarget", "s=new t=old t.tmp=stale", 'C', "s ", "t ", true,
     "s=new t=new"},
    {"CopyOfMissingSource", "t=old", 'C', "s ", "t ", false, "t=old"},
    {"CopyFromFifo", "s=<fifo> t=old", 'C', "s ", "t ", false,
     "s=<fifo> t=old"},
    {"CopyFromSymlink", "r=1 s=<link:r> t=old", 'C', "s ", "t ", false,
     "r=1 s=<link:r> t=old"},
    {"CopyFromDirectory", "s=<dir> t=old", 'C', "s ", "t ", false,
     "s=<dir> t=old"},
    {"DeletableFile", "a=1", 'X', "a ", "", true, "a=1"},
    {"DeletableWhenMissing", "b=2", 'X', "a ", "", true, "b=2"},
    {"DeletableLinkNotFollowed", "a=<link:/>", 'X', "a ", "", true,
     "a=<link:/>"},
    {"NotDeletableDirectory", "d=<dir>", 'X', "d ", "", false, "d=<dir>"},
    {"ReadableFile", "s=1", 'O', "s ", "", true, "s=1"},
    {"ReadableNotMissing", "t=1", 'O', "s ", "", false, "t=1"},
    {"ReadableNotFifo", "s=<fifo>", 'O', "s ", "", false, "s=<fifo>"},
    {"ReadableNotSymlink", "r=1 s=<link:r>", 'O', "s ", "", false,
     "r=1 s=<link:r>"},
};
// Windows' reparse points: only the name surrogates lead elsewhere.
TEST(ReparseTagTest, OnlyNameSurrogatesLeadElsewhere) {
  const struct {
    const char* kind;
    uint32_t tag;
    bool elsewhere;
  } tags[] = {
      {"symbolic link", 0xA000000C, true},   {"mount point", 0xA0000003, true},
      {"deduplication", 0x80000013, false},  {"WOF", 0x80000017, false},
      {"cloud files", 0x9000001A, false},    {"HSM", 0xC0000004, false},
      {"unknown vendor", 0x00001234, false},
  };
  for (const auto& t : tags)
    EXPECT_EQ(platform::REPARSE_TAG_LEADS_ELSEWHERE(t.tag), t.elsewhere)
        << t.kind;
}

INSTANTIATE_TEST_SUITE_P(, FileTest, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return info.param.name; });

TEST_F(PosixTest, CopyKeepsContentAndModeBits) {
  const std::pair<std::string, mode_t> sources[] = {
      {std::string(100000, 'x') + "end", 0754}, {"", 0600}, {"ro", 0444}};
  for (const auto& [content, mode] : sources) {
    std::ofstream("src", std::ios::binary) << content;
    ASSERT_EQ(chmod("src", mode), 0);
    EXPECT_EQ(platform::CBL_COPY_FILE(Field("src"), Field("dst")), 0);
    EXPECT_EQ(Snapshot(), (Folder{{"src", content}, {"dst", content}}));
    EXPECT_EQ(ModeOf("dst"), mode);
    fs::remove("src");
    fs::remove("dst");
  }
}

// --- GET_STAMP --------------------------------------------------------------

TEST_F(PosixTest, StampIsTheTimeInUpperCaseHex) {
  std::array<char, 8> stamp{};
  const auto before = static_cast<uint32_t>(std::time(nullptr));
  platform::GET_STAMP(stamp);
  const auto after = static_cast<uint32_t>(std::time(nullptr));
  const std::string text(stamp.begin(), stamp.end());
  ASSERT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos)
      << text;
  const auto value = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
  EXPECT_LE(before, value);
  EXPECT_LE(value, after);
}

// --- The folder lock --------------------------------------------------------

const char* const kLock = "TalvenClient_SET.lck ";
constexpr uint32_t kLongWaitMs = 50'000, kShortWaitMs = 300;

TEST_F(PosixTest, FolderLockKeepsOtherProcessWaitingUntilReleased) {
  int go[2], report[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(report), 0);
  alarm(60);  // a lock never passed on ends the test instead of hanging

  // Forked before the lock is taken, so that it inherits none of it. It
  // reports 'B' when the held file refuses another lock, then 'A' once its
  // own ACQUIRE returns holding the lock.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(60);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    const int fd = open("TalvenClient_SET.lck", O_RDONLY);
    c = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 ? 'B' : 'F';
    if (write(report[1], &c, 1) != 1) _exit(2);
    close(fd);
    c = platform::ACQUIRE_FOLDER_LOCK(kLock, kLongWaitMs) ==
                platform::FolderLock::HELD
            ? 'A'
            : 'E';
    if (write(report[1], &c, 1) != 1) _exit(2);
    platform::RELEASE_FOLDER_LOCK();
    _exit(0);
  }

  ASSERT_EQ(platform::ACQUIRE_FOLDER_LOCK(kLock, kLongWaitMs),
            platform::FolderLock::HELD);
  EXPECT_EQ(Snapshot(), (Folder{{"TalvenClient_SET.lck", ""}}));
  ASSERT_EQ(write(go[1], "g", 1), 1);
  char c = 0;
  ASSERT_EQ(read(report[0], &c, 1), 1);
  EXPECT_EQ(c, 'B');
  pollfd waiting{report[0], POLLIN, 0};
  EXPECT_EQ(poll(&waiting, 1, 300), 0) << "both processes hold the lock";

  platform::RELEASE_FOLDER_LOCK();
  ASSERT_EQ(read(report[0], &c, 1), 1);
  EXPECT_EQ(c, 'A');
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Snapshot(), Folder{});
}

// A plain file at the lock's name that another holds counts as held: the run
// waits out its limit instead of going on unlocked. One left over by a
// killed run is taken over, and removed on release; what is no plain file
// is removed and the lock taken, or, when it will not go, reported at once.
struct LockCase {
  const char *name, *folder;
  bool held_elsewhere;
  platform::FolderLock outcome;
};
void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class LockTest : public PosixTest,
                 public ::testing::WithParamInterface<LockCase> {};

TEST_P(LockTest, OutcomeWithinLimitAndFolderAfter) {
  const LockCase& c = GetParam();
  Make(c.folder);
  const Folder before = Snapshot();
  int holder = -1;  // another open file description: flock conflicts with it
  if (c.held_elsewhere) {
    holder = open("TalvenClient_SET.lck", O_RDWR);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
  }
  alarm(60);
  EXPECT_EQ(platform::ACQUIRE_FOLDER_LOCK(kLock, kShortWaitMs), c.outcome);
  platform::RELEASE_FOLDER_LOCK();
  // Taken: nothing left but what the link pointed to, untouched.
  Folder after = before;
  if (c.outcome == platform::FolderLock::HELD)
    after.erase("TalvenClient_SET.lck");
  EXPECT_EQ(Snapshot(), after);
  if (holder >= 0) close(holder);
}

const LockCase kLockCases[] = {
    {"LeftOverFileTakenOver", "TalvenClient_SET.lck=x", false,
     platform::FolderLock::HELD},
    {"HolderNeverLetsGo", "TalvenClient_SET.lck=", true,
     platform::FolderLock::NOT_HAD},
    // What is no lock file is nobody's lock: removed, never followed.
    {"FifoRemovedLockTaken", "TalvenClient_SET.lck=<fifo>", false,
     platform::FolderLock::HELD},
    {"LinkRemovedLockTaken", "x=1 TalvenClient_SET.lck=<link:x>", false,
     platform::FolderLock::HELD},
    {"DanglingLinkRemovedLockTaken", "TalvenClient_SET.lck=<link:none>", false,
     platform::FolderLock::HELD},
    {"EmptyDirectoryRemovedLockTaken", "TalvenClient_SET.lck=<dir>", false,
     platform::FolderLock::HELD},
    {"FullDirectoryReportedAtOnce",
     "TalvenClient_SET.lck=<dir> TalvenClient_SET.lck/x=1", false,
     platform::FolderLock::BLOCKED},
};
INSTANTIATE_TEST_SUITE_P(, LockTest, ::testing::ValuesIn(kLockCases),
                         [](const auto& info) { return info.param.name; });

// As another user (root reads and writes anything): a folder this user may
// not create files in is no reason to wait, and another user's lock file
// that this user may not open counts as held.
TEST_F(PosixTest, LockAsAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  const struct {
    const char* name;
    mode_t folder_mode;
    bool private_lock_file;
    platform::FolderLock outcome;
  } cases[] = {
      {"folder not writable", 0755, false,
       platform::FolderLock::FOLDER_READ_ONLY},
      {"another user's 0600 lock file", 0777, true,
       platform::FolderLock::NOT_HAD},
  };
  for (const auto& c : cases) {
    if (c.private_lock_file) {
      std::ofstream("TalvenClient_SET.lck");
      ASSERT_EQ(chmod("TalvenClient_SET.lck", 0600), 0);
    }
    ASSERT_EQ(chmod(".", c.folder_mode), 0);
    const Folder before = Snapshot();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(60);
      constexpr uid_t kNobody = 65534;
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
      _exit(
          static_cast<int>(platform::ACQUIRE_FOLDER_LOCK(kLock, kShortWaitMs)));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << c.name;
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(c.outcome)) << c.name;
    EXPECT_EQ(Snapshot(), before) << c.name;
    fs::remove("TalvenClient_SET.lck");
  }
}

// The next user's run must be able to open the lock file whatever umask the
// user who made it had.
TEST_F(PosixTest, LockFileOpenToEveryUserWhateverTheUmask) {
  const mode_t previous = umask(077);
  ASSERT_EQ(platform::ACQUIRE_FOLDER_LOCK(kLock, kShortWaitMs),
            platform::FolderLock::HELD);
  umask(previous);
  EXPECT_EQ(ModeOf("TalvenClient_SET.lck"), 0666u);
  platform::RELEASE_FOLDER_LOCK();
}

// --- The delivery program's operations ------------------------------------

// R: RENAME_REPLACING(first, second); N: CREATE_NEW_FILE(first) like the
// file "like", then "x" written; O: OPEN_FOR_READING(first).
struct DeliveryCase {
  const char *name, *before;
  char routine;
  const char *first, *second;
  bool succeeds;
  const char* after;
};
void PrintTo(const DeliveryCase& c, std::ostream* os) { *os << c.name; }

class DeliveryTest : public PosixTest,
                     public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(DeliveryTest, StatusAndFolderAfter) {
  const DeliveryCase& c = GetParam();
  Make(c.before);
  alarm(60);  // an open that waits on a FIFO ends the test instead of hanging
  platform::OpenFile file, like;
  platform::FileFacts facts;
  int32_t status = 0;
  if (c.routine == 'R') {
    status = platform::RENAME_REPLACING(c.first, c.second);
  } else if (c.routine == 'O') {
    status = platform::OPEN_FOR_READING(c.first, platform::Caching::FROM_DISK,
                                        file, facts);
  } else {
    ASSERT_EQ(platform::OPEN_FOR_READING("like", platform::Caching::USE_CACHE,
                                         like, facts),
              0);
    status = platform::CREATE_NEW_FILE(c.first, like, file);
    const unsigned char x[] = {'x'};
    if (status == 0) {
      EXPECT_EQ(platform::WRITE_ALL(file, x), 0);
    }
  }
  alarm(0);
  EXPECT_EQ(platform::CLOSE_FILE(file), 0);
  EXPECT_EQ(platform::CLOSE_FILE(like), 0);
  EXPECT_EQ(status == 0, c.succeeds) << status;
  EXPECT_EQ(Snapshot(), Parse(c.after));
}

const DeliveryCase kDeliveryCases[] = {
    {"RenameReplacesTarget", "a=new b=old", 'R', "a", "b", true, "b=new"},
    {"RenameOntoNothing", "a=new", 'R', "a", "b", true, "b=new"},
    {"RenameWithoutSourceKeepsTarget", "b=old", 'R', "a", "b", false, "b=old"},
    {"CreateMakesFile", "like=l", 'N', "p", "", true, "like=l p=x"},
    {"CreateRefusesFile", "like=l p=old", 'N', "p", "", false, "like=l p=old"},
    {"CreateNeverWritesThroughLink", "like=l t=theirs p=<link:t>", 'N', "p", "",
     false, "like=l t=theirs p=<link:t>"},
    {"CreateRefusesDanglingLink", "like=l p=<link:none>", 'N', "p", "", false,
     "like=l p=<link:none>"},
    {"OpenReadsPlainFile", "f=1", 'O', "f", "", true, "f=1"},
    {"OpenRefusesLink", "t=1 f=<link:t>", 'O', "f", "", false,
     "t=1 f=<link:t>"},
    {"OpenRefusesFifoAtOnce", "f=<fifo>", 'O', "f", "", false, "f=<fifo>"},
    {"OpenRefusesFolder", "f=<dir>", 'O', "f", "", false, "f=<dir>"},
};
INSTANTIATE_TEST_SUITE_P(, DeliveryTest, ::testing::ValuesIn(kDeliveryCases),
                         [](const auto& info) { return info.param.name; });

// A write while the file is open changes its facts: how a source still
// being written is caught.
TEST_F(PosixTest, FactsChangeWhenTheFileIsWritten) {
  Make("f=12345");
  platform::OpenFile file;
  platform::FileFacts opened, now;
  ASSERT_EQ(platform::OPEN_FOR_READING("f", platform::Caching::USE_CACHE, file,
                                       opened),
            0);
  EXPECT_EQ(opened.size, 5u);
  std::ofstream("f", std::ios::app) << "6";
  EXPECT_EQ(platform::FACTS_OF(file, now), 0);
  EXPECT_NE(now, opened);
  EXPECT_EQ(platform::CLOSE_FILE(file), 0);
}

// Every user's update run must read the delivery, whatever the source's bits
// and the umask of the administrator who delivers.
TEST_F(PosixTest, CreatedFileReadableByEveryone) {
  Make("like=l");
  chmod("like", 0600);
  const mode_t previous = umask(077);
  platform::OpenFile like, file;
  platform::FileFacts facts;
  ASSERT_EQ(platform::OPEN_FOR_READING("like", platform::Caching::USE_CACHE,
                                       like, facts),
            0);
  EXPECT_EQ(platform::CREATE_NEW_FILE("p", like, file), 0);
  umask(previous);
  EXPECT_EQ(platform::CLOSE_FILE(file), 0);
  EXPECT_EQ(platform::CLOSE_FILE(like), 0);
  EXPECT_EQ(ModeOf("p"), 0644u);
}

TEST_F(PosixTest, ListFolderTellsPlainFilesFromTheRest) {
  Make("f=12345 d=<dir> l=<link:f> q=<fifo>");
  std::map<std::string, std::pair<bool, uint64_t>> seen;
  EXPECT_EQ(platform::LIST_FOLDER(
                ".",
                [](const platform::FolderEntry& entry, void* context) {
                  (*static_cast<decltype(seen)*>(
                      context))[std::string(entry.name)] = {entry.plain_file,
                                                            entry.size};
                },
                &seen),
            0);
  const decltype(seen) expected = {{"f", {true, 5}},
                                   {"d", {false, 0}},
                                   {"l", {false, 0}},
                                   {"q", {false, 0}}};
  EXPECT_EQ(seen, expected);
}

TEST_F(PosixTest, FullFolderPathAndSameFolder) {
  Make("d=<dir> l=<link:d> f=1");
  char full[platform::WHOLE_PATH_CAPACITY];
  ASSERT_EQ(platform::FULL_FOLDER_PATH("l", full), 0);
  EXPECT_EQ(std::string(full), fs::canonical("d").string() + "/");
  EXPECT_NE(platform::FULL_FOLDER_PATH("f", full), 0);
  EXPECT_NE(platform::FULL_FOLDER_PATH("none", full), 0);
  bool same = false;
  EXPECT_EQ(platform::SAME_FOLDER("d", "l", same), 0);
  EXPECT_TRUE(same);
  EXPECT_EQ(platform::SAME_FOLDER(".", "d", same), 0);
  EXPECT_FALSE(same);
}

}  // namespace
