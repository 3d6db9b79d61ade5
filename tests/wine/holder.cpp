// Test helper: holds files in the current directory the way other programs
// hold them on a shared client folder, so that the update's deletes,
// renames and copies meet real sharing violations.
//
//   holder [--access r|w|rw|attr] [--share none|r|rw|rd|all] NAME...
//       opens each NAME with that access (attr: attributes only) and share
//       mode (rd: read and delete); by default r and r, another user's
//       running client: others may read it, nobody may write, rename or
//       delete it. The image loader holds a started program's executable
//       and a loaded library with rd. With no NAME it holds nothing and only
//       runs: copied over a client's executable and started from there, it
//       is a client running from the folder, whose image is mapped.
//   holder --scan MS NAME...
//       a virus scanner: opens each NAME the moment it appears (read, all
//       sharing), holds it MS milliseconds and lets go; again each time the
//       name comes again
//   holder --anchor
//       the test session's anchor. Its hidden window keeps Wine's desktop
//       open (without one, Wine closes the desktop a second after each run,
//       and a box shown while it closes is never drawn). It answers the
//       program's boxes from inside Wine, with no X focus or key: each input
//       line "TID HOW" (the thread id in hex, as Wine's trace shows it)
//       waits for that thread's box captioned "TALVEN Client" and answers it
//       with HOW: Return or Escape (the command the box's dialog loop makes
//       of that key), close (the close box) or wait (left standing); it
//       writes "answered", or "no box" when none stands within BOX_WAIT_MS.
//
// Once every file is held (the scanner: once it watches) it writes "held".
// It then reads standard input: a line holding a number N lets the files go
// N milliseconds later; the end of input lets them go at once. The scanner
// stops at either, writes "caught NAME" for each name it opened, and exits.
// Exit status 0, or 1 (with the reason on standard error) when a file cannot
// be opened or the arguments are wrong.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_HELD = 16;
// How often the scanner looks for its names: far more often than a copy
// takes, so that it opens a fresh temporary before the copy renames it.
constexpr DWORD SCAN_PAUSE_MS = 1;

int FAIL(const char* what, const char* name) {
  std::fprintf(stderr, "holder: %s %s: error %lu\n", what, name,
               GetLastError());
  return 1;
}

struct Mode {
  const char* word;
  DWORD value;
};

constexpr Mode ACCESS_MODES[] = {
    {"r", GENERIC_READ},
    {"w", GENERIC_WRITE},
    {"rw", GENERIC_READ | GENERIC_WRITE},
    // What an indexer, a backup agent or Explorer opens a file for: it takes
    // no part in sharing, so even a holder that shares nothing lets a
    // delete open the file.
    {"attr", FILE_READ_ATTRIBUTES},
};
constexpr Mode SHARE_MODES[] = {
    {"none", 0},
    {"r", FILE_SHARE_READ},
    {"rw", FILE_SHARE_READ | FILE_SHARE_WRITE},
    {"rd", FILE_SHARE_READ | FILE_SHARE_DELETE},
    {"all", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
};

template <std::size_t N>
bool LOOK_UP(const Mode (&modes)[N], const char* word, DWORD& value) {
  for (const Mode& mode : modes) {
    if (std::strcmp(mode.word, word) == 0) {
      value = mode.value;
      return true;
    }
  }
  return false;
}

// How long the answerer waits for a box that the trace has announced: its
// window is made after the call that the trace shows.
constexpr DWORD BOX_WAIT_MS = 30'000;
constexpr DWORD BOX_POLL_MS = 10;

BOOL CALLBACK IS_BOX(HWND window, LPARAM found) {
  char kind[16], caption[32];
  if (IsWindowVisible(window) && IsWindowEnabled(window) &&
      GetClassNameA(window, kind, sizeof kind) > 0 &&
      std::strcmp(kind, "#32770") == 0 &&
      GetWindowTextA(window, caption, sizeof caption) > 0 &&
      std::strcmp(caption, "TALVEN Client") == 0) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

// Answers the box of thread `thread` as `how` says; false when none stands.
bool ANSWER(DWORD thread, const char* how) {
  HWND found = nullptr;
  for (DWORD waited = 0; found == nullptr && waited < BOX_WAIT_MS;
       waited += BOX_POLL_MS) {
    EnumThreadWindows(thread, IS_BOX, reinterpret_cast<LPARAM>(&found));
    if (found == nullptr) Sleep(BOX_POLL_MS);
  }
  if (found == nullptr) return false;
  if (std::strcmp(how, "wait") == 0) return true;  // it stands: left to stand
  if (std::strcmp(how, "close") == 0)
    return PostMessageA(found, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
  // What the box's dialog loop makes of the key (IsDialogMessage): Return
  // presses the default button, Escape cancels. Posted to the box itself, the
  // command does not depend on which control has the focus yet: a key posted
  // to the focus of a box still being activated can miss it.
  const WPARAM command = std::strcmp(how, "Escape") == 0 ? IDCANCEL : IDOK;
  return PostMessageA(found, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0) !=
         FALSE;
}

// The anchor's answerer: one line of input a box, until the input ends.
void ANSWER_BOXES() {
  char line[64], how[16];
  unsigned long thread = 0;
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    const bool read = std::sscanf(line, "%lx %15s", &thread, how) == 2;
    std::puts(read && ANSWER(thread, how) ? "answered" : "no box");
    std::fflush(stdout);
  }
}

// The number on the first line of standard input, or 0 at its end.
long READ_LET_GO_DELAY() {
  char line[32];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 0;
  return std::strtol(line, nullptr, 10);
}

volatile LONG STOP_SCANNING = 0;

DWORD WINAPI WAIT_FOR_STOP(void*) {
  READ_LET_GO_DELAY();  // any line, or the end of input, stops the scanner
  InterlockedExchange(&STOP_SCANNING, 1);
  return 0;
}

int SCAN(DWORD hold_ms, char** names, int count) {
  bool present[MAX_HELD] = {};
  bool caught[MAX_HELD] = {};
  // Names already there when the scanner starts were scanned long ago.
  for (int i = 0; i < count; ++i)
    present[i] = GetFileAttributesA(names[i]) != INVALID_FILE_ATTRIBUTES;
  const HANDLE waiter =
      CreateThread(nullptr, 0, WAIT_FOR_STOP, nullptr, 0, nullptr);
  if (waiter == nullptr) return FAIL("cannot watch standard input for", "");
  std::puts("held");
  std::fflush(stdout);
  while (InterlockedCompareExchange(&STOP_SCANNING, 0, 0) == 0) {
    for (int i = 0; i < count; ++i) {
      const bool there =
          GetFileAttributesA(names[i]) != INVALID_FILE_ATTRIBUTES;
      if (!there || present[i]) {
        present[i] = there;
        continue;
      }
      // A writer that shares nothing shuts the scanner out until it closes
      // the file; the scanner tries again on the next round.
      const HANDLE file =
          CreateFileA(names[i], GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      present[i] = caught[i] = true;
      Sleep(hold_ms);
      CloseHandle(file);
    }
    Sleep(SCAN_PAUSE_MS);
  }
  WaitForSingleObject(waiter, INFINITE);
  CloseHandle(waiter);
  for (int i = 0; i < count; ++i)
    if (caught[i]) std::printf("caught %s\n", names[i]);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  DWORD access = GENERIC_READ;
  DWORD share = FILE_SHARE_READ;
  if (argc == 2 && std::strcmp(argv[1], "--anchor") == 0) {
    const HWND window =
        CreateWindowExA(0, "STATIC", "talven test anchor", 0, 0, 0, 0, 0,
                        nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr)
      return FAIL("cannot open a window on", "the desktop");
    std::puts("held");
    std::fflush(stdout);
    ANSWER_BOXES();  // until the session ends its input
    DestroyWindow(window);
    return 0;
  }
  const bool scan = argc > 2 && std::strcmp(argv[1], "--scan") == 0;
  const DWORD hold_ms = scan ? std::strtoul(argv[2], nullptr, 10) : 0;
  if (scan) first = 3;
  while (!scan && first < argc && std::strncmp(argv[first], "--", 2) == 0) {
    const char* option = argv[first];
    if (first + 1 < argc && std::strcmp(option, "--access") == 0 &&
        LOOK_UP(ACCESS_MODES, argv[first + 1], access)) {
      first += 2;
    } else if (first + 1 < argc && std::strcmp(option, "--share") == 0 &&
               LOOK_UP(SHARE_MODES, argv[first + 1], share)) {
      first += 2;
    } else {
      return FAIL("unknown option or mode at", option);
    }
  }
  if (argc - first > MAX_HELD)
    return FAIL("too many names to hold, from", argv[first]);
  if (scan) return SCAN(hold_ms, argv + first, argc - first);

  HANDLE held[MAX_HELD];
  int count = 0;
  for (int i = first; i < argc; ++i) {
    held[count] = CreateFileA(argv[i], access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held[count] == INVALID_HANDLE_VALUE)
      return FAIL("cannot hold", argv[i]);
    ++count;
  }
  std::puts("held");
  std::fflush(stdout);

  const long delay_ms = READ_LET_GO_DELAY();
  if (delay_ms > 0) Sleep(static_cast<DWORD>(delay_ms));
  // The process's end would close them too; closing here makes the moment
  // they go the moment this program says.
  for (int i = 0; i < count; ++i) CloseHandle(held[i]);
  return 0;
}
