// The main sequence of the update run and the procedures its steps share.

#include "update_run.h"

#include "../platform/platform.h"

WorkingStorage WS;

// Identification lines for version-listing tools (what(1), strings). Nothing
// in the run reads them; external linkage keeps them in the executable.
extern const char TALVEN_VERSION_LINE[] = "@(#) TALVEN version  7.0";
extern const char PROGRAM_VERSION_LINE[] = "@(#) Program version    .001";

namespace {

constexpr std::string_view CONFIRMATION_NOTICE =
    "TALVEN needs to update a client side component.\n\nClick OK to continue";
// Two spaces before the dash, as the users have always seen it.
constexpr std::string_view FINAL_MESSAGE =
    "TALVEN has successfully updated  - You may now logon";
constexpr std::string_view CAPTION = "TALVEN Client";
static_assert(FITS_MESSAGE_FIELD(CONFIRMATION_NOTICE));
static_assert(FITS_MESSAGE_FIELD(FINAL_MESSAGE));
static_assert(CAPTION.size() < sizeof WS.MESSAGE_CAPTION);

void SHOW_INFORMATION(std::string_view text) {
  MOVE_ZERO_TERMINATED(WS.MESSAGE_TEXT, text);
  WS.MESSAGE_STYLE = STYLE_INFORMATION;
  SHOW_MESSAGE();
}

}  // namespace

void STORE_RETURN_CODE(int32_t status) {
  const auto value = static_cast<uint32_t>(status);
  WS.RETURN_CODE[0] = static_cast<unsigned char>(value >> 24);
  WS.RETURN_CODE[1] = static_cast<unsigned char>(value >> 16);
  WS.RETURN_CODE[2] = static_cast<unsigned char>(value >> 8);
  WS.RETURN_CODE[3] = static_cast<unsigned char>(value);
}

int32_t RETURN_CODE_VALUE() {
  const uint32_t value =
      uint32_t{WS.RETURN_CODE[0]} << 24 | uint32_t{WS.RETURN_CODE[1]} << 16 |
      uint32_t{WS.RETURN_CODE[2]} << 8 | uint32_t{WS.RETURN_CODE[3]};
  return static_cast<int32_t>(value);
}

void CHECK_FILE() {
  WS.FILE_FOUND = 'N';
  STORE_RETURN_CODE(platform::CBL_CHECK_FILE_EXIST(FIELD(WS.CHECK_FILE_NAME),
                                                   WS.FILE_DETAILS));
  if (RETURN_CODE_VALUE() == 0) WS.FILE_FOUND = 'Y';
}

void CHECK_NEW_FILE() {
  for (std::size_t i = 0; i < NAME_FIELD_WIDTH; ++i)
    WS.CHECK_FILE_NAME[i] = WS.NEW_FILE_NAME[i];
  CHECK_FILE();
  if (WS.FILE_FOUND == 'Y') WS.NEW_FILE_FOUND = 'Y';
}

void SHOW_MESSAGE() {
  // The entry's status is not looked at: the box is shown either way.
  STORE_RETURN_CODE(platform::cob32api());
  MOVE_ZERO_TERMINATED(WS.MESSAGE_CAPTION, CAPTION);
  WS.MESSAGE_RESULT =
      platform::MessageBoxA(nullptr, WS.MESSAGE_TEXT, WS.MESSAGE_CAPTION,
                            static_cast<uint32_t>(WS.MESSAGE_STYLE));
}

StepResult FAILURE_EXIT(std::string_view message, ExitStatus status) {
  // The next run may go on while this user reads the box.
  platform::RELEASE_FOLDER_LOCK();
  MOVE_ZERO_TERMINATED(WS.MESSAGE_TEXT, message);
  WS.MESSAGE_STYLE = STYLE_ERROR;
  SHOW_MESSAGE();
  STORE_RETURN_CODE(status);
  return StepResult::RUN_ENDED;
}

int32_t END_OF_RUN() { return RETURN_CODE_VALUE(); }

int32_t UPDATE_RUN() {
  // However the notice is dismissed (OK, Escape, the close button), the run
  // goes on: the box offers no way to decline.
  SHOW_INFORMATION(CONFIRMATION_NOTICE);

  // Without the lock nothing changes: another user's run has the folder, or
  // this user may not create the lock file in it (where deleting may still
  // be granted, or a file screen refuses only the lock's name).
  if (platform::ACQUIRE_FOLDER_LOCK(ARGUMENT<FOLDER_LOCK_FILE>,
                                    FOLDER_LOCK_WAIT_LIMIT_MS) !=
      platform::FolderLock::HELD) {
    FOLDER_NOT_HAD_EXIT();
    return END_OF_RUN();
  }

  // What an earlier run's deletes left set aside, and may now go.
  platform::REMOVE_SET_ASIDE_FILES();

  if (REPLACE_CLIENT_EXECUTABLE() == StepResult::RUN_ENDED) return END_OF_RUN();
  const VersionFile version = REFRESH_VERSION_FILE();
  for (const LIBRARY_COMPONENT& row : LIBRARY_COMPONENT_TABLE)
    if (REPLACE_LIBRARY(row) == StepResult::RUN_ENDED) return END_OF_RUN();

  // Every component is in place but, perhaps, the version file: only now do
  // the deliveries go. A version file whose delivery still waits keeps the
  // executable's delivery too, so that the next run tries it again.
  if (version != VersionFile::DELIVERY_WAITING) {
    if (REMOVE_EXECUTABLE_DELIVERY() == StepResult::RUN_ENDED)
      return END_OF_RUN();
    if (version == VersionFile::COPIED) REMOVE_VERSION_DELIVERY();
  }

  // No run waits on a box that this user leaves open.
  platform::RELEASE_FOLDER_LOCK();
  // The client may be started either way; the status tells a version file
  // still waiting apart, and the step that refreshes it shows no box.
  SHOW_INFORMATION(FINAL_MESSAGE);
  STORE_RETURN_CODE(version == VersionFile::DELIVERY_WAITING
                        ? VERSION_FILE_NOT_REFRESHED
                        : UPDATED);
  return END_OF_RUN();
}
