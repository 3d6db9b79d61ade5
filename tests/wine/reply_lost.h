// Force-included (-include) into the platform layer of a test build of the
// update program: the Win32 calls that change a name go through the
// wrappers of reply_lost.cpp instead, which can lose one reply after the
// call was carried out. The product's own code is compiled unchanged.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

BOOL WINAPI TALVEN_TEST_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL WINAPI TALVEN_TEST_SetFileInformationByHandle(
    HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
    DWORD size);

#define MoveFileExW TALVEN_TEST_MoveFileExW
#define SetFileInformationByHandle TALVEN_TEST_SetFileInformationByHandle
