// The update run: the main sequence, the procedures the steps share, and the
// steps. Each step returns CONTINUE, and the main sequence goes on, or has
// left the run through FAILURE_EXIT (its message shown, RETURN_CODE holding
// the exit status) and returns RUN_ENDED, after which only END_OF_RUN follows.
#pragma once

#include <cstdint>
#include <string_view>

#include "client_files.h"
#include "working_storage.h"

// Exit statuses of the process. Each failure has its own, so that a script
// or a deployment tool can tell a finished update from a failed one.
enum ExitStatus : int32_t {
  UPDATED = 0,
  NEW_EXECUTABLE_MISSING = 1,
  EXECUTABLE_LOCKED = 2,
  EXECUTABLE_NOT_PUT_IN_PLACE = 3,
  LIBRARY_LOCKED = 4,
  LIBRARY_NOT_RENAMED = 5,
  // Every other component is in place, but the delivered version file could
  // not be copied: the deliveries wait, and the next run completes it.
  VERSION_FILE_NOT_REFRESHED = 6,
};

enum class StepResult { CONTINUE, RUN_ENDED };

// Message box styles: task-modal, OK button only, with an icon.
inline constexpr int32_t STYLE_INFORMATION =
    0x2040;  // MB_TASKMODAL | MB_ICONINFORMATION
inline constexpr int32_t STYLE_ERROR = 0x2010;  // MB_TASKMODAL | MB_ICONERROR

// Performs the whole run once and returns the process's exit status.
int32_t UPDATE_RUN();

// Tests CHECK_FILE_NAME: FILE_FOUND becomes "Y" when it exists, else "N".
void CHECK_FILE();
// Tests NEW_FILE_NAME (through CHECK_FILE_NAME); sets NEW_FILE_FOUND to "Y"
// when it exists and otherwise leaves it alone.
void CHECK_NEW_FILE();
// Shows MESSAGE_TEXT in a box of MESSAGE_STYLE, captioned "TALVEN Client".
void SHOW_MESSAGE();
// Ends the run after a failure: shows `message` as an error box and leaves
// `status` in RETURN_CODE as the exit status.
StepResult FAILURE_EXIT(std::string_view message, ExitStatus status);
// RETURN_CODE in machine byte order: the exit status the start-up ends the
// process with.
int32_t END_OF_RUN();

StepResult REPLACE_CLIENT_EXECUTABLE();
// Ends the run with the executable's locked message (exit status 2).
StepResult EXECUTABLE_LOCKED_EXIT();
// Ends a run that could not take the folder lock, having changed nothing:
// with the missing message when no executable is delivered (status 1), else
// with the executable's locked message (status 2).
StepResult FOLDER_NOT_HAD_EXIT();
// What became of the version file's delivery: copied into place, none
// delivered (a name that holds no plain file delivers nothing), or one that
// stands there and could not be copied.
enum class VersionFile { COPIED, NOT_DELIVERED, DELIVERY_WAITING };
VersionFile REFRESH_VERSION_FILE();
StepResult REPLACE_LIBRARY(const LIBRARY_COMPONENT& row);
// The deliveries are removed only once every component is in place, so that
// the next run completes whatever an interrupted or failed run left: first
// the executable's (ends the run when it will not go), then the version
// file's, which a rerun would otherwise copy again over a fresh version
// file only while the executable's delivery still waits.
StepResult REMOVE_EXECUTABLE_DELIVERY();
void REMOVE_VERSION_DELIVERY();
