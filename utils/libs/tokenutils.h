// Running as the owner of the program file, and reporting system failures of
// the user-identity calls.
#pragma once

// Makes the process act as the owner of the program file. A set-user-id
// executable is already started with its owner's rights by the kernel, so
// there is nothing left to do here; the call exists so that start-up reads
// the same everywhere.
void become_program_owner();

// The user id of the program file's owner: the owner of the running
// executable, or the current user when the executable cannot be examined.
// Found once and kept for the process.
unsigned owner_uid();

// Formats message set/number with the arguments "tokenutils", the location
// and the system's text for error_code, and writes it with the flags (a fatal
// flag ends the process). The variant without an error code passes only the
// first two arguments.
void report_system_error(int flags, int location, int set_value, int number, int error_code);
void report_system_error(int flags, int location, int set_value, int number);
