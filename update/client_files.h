// The names of the client folder's files, each written out once: the update
// run and the delivery program take them from here. All are bare names in
// the client folder; their case is part of the name (the executable uses
// "_NEW" and ".OLD", the libraries "_new" and ".old").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::string_view NEW_EXECUTABLE = "TALVENClient_NEW.exe";
inline constexpr std::string_view CURRENT_EXECUTABLE = "TALVENClient.exe";
inline constexpr std::string_view LEFT_OVER_BACKUP = "TALVENClient.OLD.exe";
inline constexpr std::string_view NEW_VERSION_FILE = "TALVENClient_VER.txt";
inline constexpr std::string_view VERSION_FILE = "TALVENClientVersion.txt";

// Held while a run (or a delivery) changes files, so that two users who
// start the update at once take turns instead of deleting each other's
// copies.
inline constexpr std::string_view FOLDER_LOCK_FILE = "TalvenClient_SET.lck";
// How long a run waits for the lock in all. A run normally holds it for a
// second or two; one that holds it longer belongs to a machine that died
// mid-run, whose handle the file server keeps until it notices, and the
// user is better told to try again than left looking at nothing.
inline constexpr uint32_t FOLDER_LOCK_WAIT_LIMIT_MS = 60'000;

// One newly delivered library and the names and messages that go with it.
struct LIBRARY_COMPONENT {
  std::string_view new_file_name;
  std::string_view working_file_name;
  std::string_view backup_file_name;
  std::string_view locked_message;
  std::string_view rename_failure_message;
};
inline constexpr std::size_t LIBRARY_COMPONENT_COUNT = 3;

// The libraries, in the order in which they are replaced.
inline constexpr LIBRARY_COMPONENT
    LIBRARY_COMPONENT_TABLE[LIBRARY_COMPONENT_COUNT] = {
        {
            "TALVENNetBridge40_new.dll",
            "TALVENNetBridge40.dll",
            "TALVENNetBridge40.old.dll",
            "The file TALVENNetBridge40.dll is locked.\n\nEnsure that no other "
            "users are locking this file and run TALVEN again.",
            "TALVEN is unable to rename file TALVENNetBridge40_new.dll to "
            "TALVENNetBridge40.dll\n\nPlease contact your network "
            "administrator.",
        },
        {
            "TALVENViewHostPanel_new.dll",
            "TALVENViewHostPanel.dll",
            "TALVENViewHostPanel.old.dll",
            "The file TALVENViewHostPanel.dll is locked.\n\nEnsure that no "
            "other users are locking this file and run TALVEN again.",
            "TALVEN is unable to rename file TALVENViewHostPanel_new.dll\n\n"
            "Please contact your network administrator.",
        },
        {
            "TALVENViewHostPanel40_new.dll",
            "TALVENViewHostPanel40.dll",
            "TALVENViewHostPanel40.old.dll",
            "The file TALVENViewHostPanel40.dll is locked.\n\nEnsure that no "
            "other users are locking this file and run TALVEN again.",
            "TALVEN is unable to rename file TALVENViewHostPanel40_new.dll\n\n"
            "Please contact your network administrator.",
        },
};

// A name as a step writes it out at the call: the name and one space, where
// a name field would go on with spaces. ARGUMENT<CURRENT_EXECUTABLE> is
// "TALVENClient.exe ".
template <const std::string_view& NAME>
inline constexpr auto ARGUMENT_TEXT = [] {
  std::array<char, NAME.size() + 1> text{};
  for (std::size_t i = 0; i < NAME.size(); ++i) text[i] = NAME[i];
  text[NAME.size()] = ' ';
  return text;
}();
template <const std::string_view& NAME>
inline constexpr std::string_view ARGUMENT{ARGUMENT_TEXT<NAME>.data(),
                                           ARGUMENT_TEXT<NAME>.size()};
