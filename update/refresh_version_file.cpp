// Replaces the client's version text file with a newly delivered one. The
// step shows no message, because a missing or stale version file only makes
// the client ask for an update; but a delivery that could not be copied is
// kept and said so, so that the run does not report it in place.

#include "../platform/platform.h"
#include "update_run.h"

VersionFile REFRESH_VERSION_FILE() {
  // Whether the file in use went does not matter: the copy replaces it, and
  // without a delivery the version file is meant to go.
  STORE_RETURN_CODE(platform::CBL_DELETE_FILE(ARGUMENT<VERSION_FILE>));

  STORE_RETURN_CODE(platform::CBL_COPY_FILE(ARGUMENT<NEW_VERSION_FILE>,
                                            ARGUMENT<VERSION_FILE>));
  if (RETURN_CODE_VALUE() == 0) return VersionFile::COPIED;
  // A copy fails when nothing was delivered, too; only a delivery that
  // stands there and was not copied is one still waiting.
  MOVE_TEXT(WS.CHECK_FILE_NAME, NEW_VERSION_FILE);
  CHECK_FILE();
  return WS.FILE_FOUND == 'Y' ? VersionFile::DELIVERY_WAITING
                              : VersionFile::NOT_DELIVERED;
}

void REMOVE_VERSION_DELIVERY() {
  // A delivery that will not go holds what the version file now holds, and
  // without the executable's delivery no run acts on it: nothing is lost.
  STORE_RETURN_CODE(platform::CBL_DELETE_FILE(ARGUMENT<NEW_VERSION_FILE>));
}
