# Cross-compiling for Windows with MinGW-w64. Only facts about the target
# belong here: which system, which compilers, where to look for libraries,
# and how to run what was built (Wine) so that the same add_test lines work
# natively and across.
#
# MINGW_TRIPLE picks the target: i686-w64-mingw32 (the 32-bit product, the
# default) or x86_64-w64-mingw32 (a 64-bit build of the same sources).

set(MINGW_TRIPLE "i686-w64-mingw32" CACHE STRING "MinGW-w64 target triple")

set(CMAKE_SYSTEM_NAME Windows)
if(MINGW_TRIPLE MATCHES "^x86_64-")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
elseif(MINGW_TRIPLE MATCHES "^i[3-6]86-")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  message(FATAL_ERROR "MINGW_TRIPLE '${MINGW_TRIPLE}' is neither i686 nor x86_64")
endif()

# Debian ships each compiler twice: -win32 (native Windows threads) and
# -posix (winpthreads). Nothing here starts a thread, so the -win32 one is
# preferred: it links no pthread emulation into the static executable.
find_program(MINGW_CXX NAMES ${MINGW_TRIPLE}-g++-win32 ${MINGW_TRIPLE}-g++-posix
                             ${MINGW_TRIPLE}-g++ NO_CACHE)
if(NOT MINGW_CXX)
  message(FATAL_ERROR "No C++ compiler for ${MINGW_TRIPLE}: install g++-mingw-w64")
endif()
find_program(MINGW_CC NAMES ${MINGW_TRIPLE}-gcc-win32 ${MINGW_TRIPLE}-gcc-posix
                            ${MINGW_TRIPLE}-gcc NO_CACHE)
if(NOT MINGW_CC)
  message(FATAL_ERROR "No C compiler for ${MINGW_TRIPLE}: install gcc-mingw-w64")
endif()
find_program(MINGW_WINDRES NAMES ${MINGW_TRIPLE}-windres NO_CACHE)
if(NOT MINGW_WINDRES)
  message(FATAL_ERROR "No resource compiler ${MINGW_TRIPLE}-windres: install binutils-mingw-w64")
endif()
set(CMAKE_C_COMPILER ${MINGW_CC})
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
set(CMAKE_RC_COMPILER ${MINGW_WINDRES})

# Libraries and headers come from the target's sysroot only; programs (code
# generators, scripts) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The /usr/bin/wine wrapper runs 32-bit programs with the 32-bit loader; a
# 64-bit program is started with the 64-bit loader directly, which works even
# where 32-bit Wine is not installed or cannot execute.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  find_program(MINGW_WINE NAMES wine PATHS /usr/bin NO_CACHE)
else()
  find_program(MINGW_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_CACHE)
endif()
if(MINGW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MINGW_WINE})
endif()
