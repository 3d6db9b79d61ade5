// Copies one file in the current folder with the platform copy routine the
// update run uses for the client executable (temporary, flush, rename), so
// that its speed can be set beside other copy commands. Names are bare file
// names, as the run passes them.
//
//   copy_file SOURCE TARGET    exit status 0 on success, else 1

#include <cstdio>
#include <string_view>

#include "platform.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: copy_file SOURCE TARGET\n", stderr);
    return 2;
  }
  const int32_t status = platform::CBL_COPY_FILE(argv[1], argv[2]);
  if (status != 0) std::fprintf(stderr, "copy_file: status %d\n", status);
  return status == 0 ? 0 : 1;
}
