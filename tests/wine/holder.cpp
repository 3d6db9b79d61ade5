// Test helper: holds files in the current directory the way another user's
// running client holds them, so that the update's deletes and renames meet a
// real sharing violation.
//
//   holder NAME...              opens each NAME for reading, sharing read
//                               access only: others may read it, nobody may
//                               write, rename or delete it (a running
//                               program's executable or library)
//   holder --exclusive NAME...  the same with no sharing at all: not even a
//                               copy can read it
//   holder --read-only NAME...  sets the read-only attribute and exits
//
// Once every file is held it writes "held" and a line feed to standard
// output. It then reads standard input: a line holding a number N lets the
// files go N milliseconds later; the end of input lets them go at once.
// Exit status 0, or 1 (with the reason on standard error) when a file cannot
// be opened or changed.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_HELD = 16;

int FAIL(const char* what, const char* name) {
  std::fprintf(stderr, "holder: %s %s: error %lu\n", what, name,
               GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  DWORD share = FILE_SHARE_READ;
  if (argc > 1 && std::strcmp(argv[1], "--read-only") == 0) {
    for (int i = 2; i < argc; ++i) {
      const DWORD attributes = GetFileAttributesA(argv[i]);
      if (attributes == INVALID_FILE_ATTRIBUTES ||
          !SetFileAttributesA(argv[i], attributes | FILE_ATTRIBUTE_READONLY))
        return FAIL("cannot make read-only", argv[i]);
    }
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--exclusive") == 0) {
    share = 0;
    first = 2;
  }
  if (argc - first > MAX_HELD) {
    std::fprintf(stderr, "holder: at most %d files\n", MAX_HELD);
    return 1;
  }

  HANDLE held[MAX_HELD];
  int count = 0;
  for (int i = first; i < argc; ++i) {
    held[count] = CreateFileA(argv[i], GENERIC_READ, share, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held[count] == INVALID_HANDLE_VALUE)
      return FAIL("cannot hold", argv[i]);
    ++count;
  }
  std::puts("held");
  std::fflush(stdout);

  char line[32];
  if (std::fgets(line, sizeof line, stdin) != nullptr) {
    const long delay_ms = std::strtol(line, nullptr, 10);
    if (delay_ms > 0) Sleep(static_cast<DWORD>(delay_ms));
  }
  // The process's end would close them too; closing here makes the moment
  // they go the moment this program says.
  for (int i = 0; i < count; ++i) CloseHandle(held[i]);
  return 0;
}
