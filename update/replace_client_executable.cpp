// Puts the newly delivered client executable in place of the one in use. The
// executable is running on other users' machines from this folder, so it is
// replaced by a copy rather than renamed away, and no backup of it is kept.
// Having no backup, it must never be missing: the copy replaces it in one
// rename once the new file is complete, so that whatever stops the copy (a
// full disk, a kill) leaves the old one standing.

#include "../platform/platform.h"
#include "update_run.h"

namespace {

constexpr std::string_view NEW_EXECUTABLE_MISSING_MESSAGE =
    "TALVENClient_NEW.exe is missing.\n\nPlease contact your network "
    "administrator.";
constexpr std::string_view EXECUTABLE_LOCKED_MESSAGE =
    "The file TALVENClient.exe is locked or may be read-only.\n\nEnsure that "
    "no other users are locking this file and run TALVEN again.";
constexpr std::string_view UNABLE_TO_RENAME_MESSAGE =
    "TALVEN is unable to rename file TALVENClient_NEW.exe to "
    "TALVENClient.exe\n\nPlease contact your network administrator.";

static_assert(FITS_NAME_FIELD(NEW_EXECUTABLE) &&
              FITS_NAME_FIELD(CURRENT_EXECUTABLE) &&
              FITS_NAME_FIELD(LEFT_OVER_BACKUP));
static_assert(FITS_MESSAGE_FIELD(NEW_EXECUTABLE_MISSING_MESSAGE) &&
              FITS_MESSAGE_FIELD(EXECUTABLE_LOCKED_MESSAGE) &&
              FITS_MESSAGE_FIELD(UNABLE_TO_RENAME_MESSAGE));

}  // namespace

StepResult EXECUTABLE_LOCKED_EXIT() {
  return FAILURE_EXIT(EXECUTABLE_LOCKED_MESSAGE, EXECUTABLE_LOCKED);
}

StepResult FOLDER_NOT_HAD_EXIT() {
  MOVE_TEXT(WS.NEW_FILE_NAME, NEW_EXECUTABLE);
  WS.NEW_FILE_FOUND = 'N';
  CHECK_NEW_FILE();
  if (WS.NEW_FILE_FOUND != 'Y')
    return FAILURE_EXIT(NEW_EXECUTABLE_MISSING_MESSAGE, NEW_EXECUTABLE_MISSING);
  return EXECUTABLE_LOCKED_EXIT();
}

StepResult REPLACE_CLIENT_EXECUTABLE() {
  MOVE_TEXT(WS.NEW_FILE_NAME, NEW_EXECUTABLE);
  MOVE_TEXT(WS.CURRENT_FILE_NAME, CURRENT_EXECUTABLE);
  MOVE_TEXT(WS.CHECK_FILE_NAME, "");
  WS.NEW_FILE_FOUND = 'N';
  WS.FILE_FOUND = 'N';
  WS.MESSAGE_STYLE = 0;

  CHECK_NEW_FILE();
  if (WS.NEW_FILE_FOUND != 'Y')
    return FAILURE_EXIT(NEW_EXECUTABLE_MISSING_MESSAGE, NEW_EXECUTABLE_MISSING);

  MOVE_TEXT(WS.CHECK_FILE_NAME, LEFT_OVER_BACKUP);
  CHECK_FILE();
  if (WS.FILE_FOUND == 'Y') {
    // A left-over backup that will not go (held open, say) does no harm: it
    // is only in the way of nobody, so the update goes on.
    STORE_RETURN_CODE(platform::CBL_DELETE_FILE(ARGUMENT<LEFT_OVER_BACKUP>));
  }

  // The delivery must be readable with writers shut out before anything is
  // touched: one that an administrator's copy is still writing, or that
  // another process holds against readers, ends the run with both
  // executables as they are, and a new run completes the update.
  STORE_RETURN_CODE(platform::CHECK_FILE_READABLE(FIELD(WS.NEW_FILE_NAME)));
  if (RETURN_CODE_VALUE() != 0)
    return FAILURE_EXIT(UNABLE_TO_RENAME_MESSAGE, EXECUTABLE_NOT_PUT_IN_PLACE);

  // The executable in use is not deleted but found free to go: held by
  // nobody, not read-only, not running. Nothing about it changes here, so
  // no interruption can cost it. The copy below then replaces it.
  STORE_RETURN_CODE(
      platform::CHECK_FILE_DELETABLE(ARGUMENT<CURRENT_EXECUTABLE>));
  if (RETURN_CODE_VALUE() != 0) return EXECUTABLE_LOCKED_EXIT();

  // A copy that fails (or a client started since the check, which the
  // replacing rename meets) leaves the old executable and the delivery in
  // place, and a new run completes the update. The delivery itself stays
  // until every other component is in place (REMOVE_EXECUTABLE_DELIVERY):
  // a run that stops on the way is repeated whole by the next one.
  STORE_RETURN_CODE(platform::CBL_COPY_FILE(FIELD(WS.NEW_FILE_NAME),
                                            FIELD(WS.CURRENT_FILE_NAME)));
  if (RETURN_CODE_VALUE() != 0)
    return FAILURE_EXIT(UNABLE_TO_RENAME_MESSAGE, EXECUTABLE_NOT_PUT_IN_PLACE);

  return StepResult::CONTINUE;
}

StepResult REMOVE_EXECUTABLE_DELIVERY() {
  STORE_RETURN_CODE(platform::CBL_DELETE_FILE(ARGUMENT<NEW_EXECUTABLE>));
  if (RETURN_CODE_VALUE() != 0)
    return FAILURE_EXIT(UNABLE_TO_RENAME_MESSAGE, EXECUTABLE_NOT_PUT_IN_PLACE);
  return StepResult::CONTINUE;
}
