// Swaps a newly delivered library into place by renaming: the library in use
// is set aside under its backup name, then the delivered file takes its
// working name. The table lists the libraries in the order they are swapped.

#include "../platform/platform.h"
#include "update_run.h"

namespace {

constexpr std::string_view WORKING_EXTENSION = ".dll";
// Takes the place of "old.dll" after the base name's dot when the old
// backup cannot be deleted.
constexpr std::string_view STAMPED_EXTENSION = ".DLL";

constexpr bool ROW_FITS(const LIBRARY_COMPONENT& row) {
  return FITS_NAME_FIELD(row.new_file_name) &&
         FITS_NAME_FIELD(row.working_file_name) &&
         FITS_NAME_FIELD(row.backup_file_name) &&
         row.working_file_name.ends_with(WORKING_EXTENSION) &&
         row.working_file_name.size() - WORKING_EXTENSION.size() + 1 +
                 sizeof WS.NAME_STAMP + STAMPED_EXTENSION.size() <=
             NAME_FIELD_WIDTH &&
         FITS_MESSAGE_FIELD(row.locked_message) &&
         FITS_MESSAGE_FIELD(row.rename_failure_message);
}
static_assert(ROW_FITS(LIBRARY_COMPONENT_TABLE[0]) &&
              ROW_FITS(LIBRARY_COMPONENT_TABLE[1]) &&
              ROW_FITS(LIBRARY_COMPONENT_TABLE[2]));

// CHECK_FILE_NAME becomes the row's base name, a dot, NAME_STAMP and ".DLL".
void MOVE_STAMPED_BACKUP_NAME(const LIBRARY_COMPONENT& row) {
  const std::string_view base = row.working_file_name.substr(
      0, row.working_file_name.size() - WORKING_EXTENSION.size());
  char* out = WS.CHECK_FILE_NAME;
  for (char c : base) *out++ = c;
  *out++ = '.';
  for (char c : WS.NAME_STAMP) *out++ = c;
  for (char c : STAMPED_EXTENSION) *out++ = c;
  while (out != WS.CHECK_FILE_NAME + NAME_FIELD_WIDTH) *out++ = ' ';
}

}  // namespace

StepResult REPLACE_LIBRARY(const LIBRARY_COMPONENT& row) {
  MOVE_TEXT(WS.NEW_FILE_NAME, row.new_file_name);
  MOVE_TEXT(WS.CURRENT_FILE_NAME, row.working_file_name);
  MOVE_TEXT(WS.CHECK_FILE_NAME, "");
  WS.NEW_FILE_FOUND = 'N';
  WS.FILE_FOUND = 'N';
  WS.MESSAGE_STYLE = 0;

  CHECK_NEW_FILE();
  if (WS.NEW_FILE_FOUND != 'Y') return StepResult::CONTINUE;

  // A library delivered for the first time has nothing to set aside: it only
  // takes its working name.
  MOVE_TEXT(WS.CHECK_FILE_NAME, row.working_file_name);
  CHECK_FILE();
  if (WS.FILE_FOUND != 'Y') {
    STORE_RETURN_CODE(platform::CBL_RENAME_FILE(FIELD(WS.NEW_FILE_NAME),
                                                FIELD(WS.CURRENT_FILE_NAME)));
    if (RETURN_CODE_VALUE() != 0)
      return FAILURE_EXIT(row.rename_failure_message, LIBRARY_NOT_RENAMED);
    return StepResult::CONTINUE;
  }

  // The old backup is deleted whatever stands there: nothing at all deletes
  // fine, and a link goes without being followed. An old backup that will
  // not go (held, or a folder, which no delete removes) stays as it is; the
  // library in use is set aside under a name stamped with the time instead.
  MOVE_TEXT(WS.CHECK_FILE_NAME, row.backup_file_name);
  STORE_RETURN_CODE(platform::CBL_DELETE_FILE(FIELD(WS.CHECK_FILE_NAME)));
  if (RETURN_CODE_VALUE() != 0) {
    platform::GET_STAMP(WS.NAME_STAMP);
    MOVE_STAMPED_BACKUP_NAME(row);
  }

  STORE_RETURN_CODE(platform::CBL_RENAME_FILE(FIELD(WS.CURRENT_FILE_NAME),
                                              FIELD(WS.CHECK_FILE_NAME)));
  if (RETURN_CODE_VALUE() != 0)
    return FAILURE_EXIT(row.locked_message, LIBRARY_LOCKED);

  STORE_RETURN_CODE(platform::CBL_RENAME_FILE(FIELD(WS.NEW_FILE_NAME),
                                              FIELD(WS.CURRENT_FILE_NAME)));
  if (RETURN_CODE_VALUE() != 0)
    return FAILURE_EXIT(row.rename_failure_message, LIBRARY_NOT_RENAMED);

  return StepResult::CONTINUE;
}
