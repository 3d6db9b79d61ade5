// Replaces the client's version text file with a newly delivered one. The
// step works blind: it tests for no file and shows no message, because a
// missing or stale version file only makes the client ask for an update.

#include "../platform/platform.h"
#include "update_run.h"

void REFRESH_VERSION_FILE() {
  // Whether the file in use went does not matter: the copy replaces it.
  STORE_RETURN_CODE(platform::CBL_DELETE_FILE(ARGUMENT<VERSION_FILE>));

  STORE_RETURN_CODE(platform::CBL_COPY_FILE(ARGUMENT<NEW_VERSION_FILE>,
                                            ARGUMENT<VERSION_FILE>));
  // Delete the delivered file only once it stands under the name in use, so
  // that a failed copy (or no delivery) loses nothing; a delivery that will
  // not go is simply copied again by the next update.
  if (RETURN_CODE_VALUE() == 0)
    STORE_RETURN_CODE(platform::CBL_DELETE_FILE(ARGUMENT<NEW_VERSION_FILE>));
}
