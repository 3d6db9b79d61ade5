// The working-storage record: the one static record through which every
// procedure of the update run communicates. Procedures take no arguments and
// read and write these fields directly. Text fields are fixed-width,
// single-byte, content first and then spaces to the full width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct WorkingStorage {
  // What CBL_CHECK_FILE_EXIST found; written by it, never read here.
  char FILE_DETAILS[16];
  // "Y" when the newly delivered file of the component in hand exists.
  char NEW_FILE_FOUND;
  // "Y" when the latest CHECK_FILE found CHECK_FILE_NAME.
  char FILE_FOUND;
  // The name CHECK_FILE tests; the steps also hold backup names here.
  char CHECK_FILE_NAME[255];
  // The newly delivered file of the component in hand.
  char NEW_FILE_NAME[255];
  // The name under which the component in hand is in use.
  char CURRENT_FILE_NAME[255];
  // Eight characters from GET_STAMP, for a substitute backup name.
  char NAME_STAMP[8];
  // The next box's text: the message, one zero byte, then spaces.
  char MESSAGE_TEXT[2000];
  // Every box's caption: "TALVEN Client", one zero byte, then spaces.
  char MESSAGE_CAPTION[100];
  // Style of the next box, machine byte order.
  int32_t MESSAGE_STYLE;
  // What the latest box returned; never read.
  int32_t MESSAGE_RESULT;
  // Status of the latest routine call, most significant byte first; at the
  // end of the run, the exit status.
  unsigned char RETURN_CODE[4];
};

extern WorkingStorage WS;

inline constexpr std::size_t NAME_FIELD_WIDTH = sizeof WS.CHECK_FILE_NAME;
inline constexpr std::size_t MESSAGE_FIELD_WIDTH = sizeof WS.MESSAGE_TEXT;

// True when `text` fits a name field; the steps check every name they own
// with it at compile time, so the moves below never have to cut a text.
constexpr bool FITS_NAME_FIELD(std::string_view text) {
  return !text.empty() && text.size() <= NAME_FIELD_WIDTH &&
         text.find(' ') == std::string_view::npos;
}
// True when `text` and its zero byte fit the message field.
constexpr bool FITS_MESSAGE_FIELD(std::string_view text) {
  return text.size() < MESSAGE_FIELD_WIDTH &&
         text.find('\0') == std::string_view::npos;
}

// The whole of a fixed-width field, as the platform routines take it.
template <std::size_t N>
std::string_view FIELD(const char (&field)[N]) {
  return {field, N};
}

// Moves `text` into `field`, then spaces to its end.
template <std::size_t N>
void MOVE_TEXT(char (&field)[N], std::string_view text) {
  std::size_t i = 0;
  for (; i < text.size() && i < N; ++i) field[i] = text[i];
  for (; i < N; ++i) field[i] = ' ';
}

// Moves `text` into `field` as a box expects it: the text, one zero byte,
// then spaces to its end.
template <std::size_t N>
void MOVE_ZERO_TERMINATED(char (&field)[N], std::string_view text) {
  static_assert(N > 0);
  if (text.size() >= N) text = text.substr(0, N - 1);
  std::size_t i = 0;
  for (; i < text.size(); ++i) field[i] = text[i];
  field[i++] = '\0';
  for (; i < N; ++i) field[i] = ' ';
}

// Stores a routine's status in RETURN_CODE, most significant byte first.
void STORE_RETURN_CODE(int32_t status);
// RETURN_CODE back in machine byte order.
int32_t RETURN_CODE_VALUE();
