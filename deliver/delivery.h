// The delivery program, TalvenClient_DELIVER: copies an administrator's new
// client files into a client folder under the names the update run looks
// for. Each file is copied under a name no run looks at, flushed, read back
// and compared with its source, and only then renamed to its delivery name,
// the executable last, all while the folder lock keeps update runs out.
#pragma once

#include <span>
#include <string_view>

// Exit statuses of the process; each failure has its own.
enum DeliveryStatus : int {
  // Delivered; --dry-run: the plan printed; --check: every file current.
  DELIVERED = 0,
  // --check: a working file differs from its source or is missing.
  NOT_CURRENT = 1,
  // The command line is wrong, or SOURCE_FOLDER is the client folder.
  BAD_ARGUMENTS = 2,
  // No TALVENClient.exe in SOURCE_FOLDER; an entry there under a
  // component's name that is not a plain file, or a name that differs from a
  // component's only in case; the folder or a file in it cannot be read.
  SOURCE_NOT_USABLE = 3,
  // CLIENT_FOLDER is missing, not a folder, or this user may not create
  // files in it.
  CLIENT_FOLDER_NOT_USABLE = 4,
  // An update run or another delivery kept the folder lock for the whole
  // wait. Nothing was changed.
  LOCK_NOT_HAD = 5,
  // A copy, its read-back comparison or a rename failed, or a source file
  // changed while it was read. Each delivery name holds what it held before
  // or its complete new file; the command, run again, completes it.
  COPY_FAILED = 6,
};

// Runs the program on its arguments (without the program's own name) and
// returns its exit status. Reports go to standard output, failures to
// standard error.
int DELIVER(std::span<const std::string_view> arguments);
