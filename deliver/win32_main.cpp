// Process start-up of the delivery program on Windows (console subsystem).
// The command line arrives in UTF-16 (wmain, -municode) and goes to the
// delivery in UTF-8, which the platform routines take; the console shows
// UTF-8 for as long as the delivery runs, so that a folder's name prints
// as it is.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "delivery.h"

namespace {

std::string UTF8_OF(const wchar_t* text) {
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr,
                      nullptr);
  utf8.pop_back();  // the zero the conversion wrote
  return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> texts;
  for (int i = 1; i < argc; ++i) texts.push_back(UTF8_OF(argv[i]));
  const std::vector<std::string_view> arguments(texts.begin(), texts.end());
  // Without a console (output to a file or pipe) both calls fail, and the
  // bytes go out as they are: nothing to undo then.
  const UINT console_code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  const int status = DELIVER(arguments);
  if (console_code_page != 0) SetConsoleOutputCP(console_code_page);
  return status;
}
