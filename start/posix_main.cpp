// Process start-up on POSIX: enters the update run once and ends the process
// with the status it hands back. Arguments and environment are not used.

#include "../update/update_run.h"

int main() { return UPDATE_RUN(); }
