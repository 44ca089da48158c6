// mastdb: the administrators' tool for the master database. It lays out a
// new database, loads schedule definitions and calendars from text files,
// shows, lists and deletes them, and checks and rebuilds the database files.
//
// Every change runs under the update locks of the files it changes, so the
// tool may be used while the schedule selection runs: it waits for the locks.
// Input files are read and checked whole before anything is changed.
//
// Exit status: 0 success, 1 failure (including a command line that cannot be
// understood). Failures of the database are reported as numbered messages on
// standard error, mastdb's own complaints as lines beginning "mastdb: ".
#pragma once

#include <string>
#include <vector>

enum : int { MASTDB_OK = 0, MASTDB_FAILED = 1 };

// Runs one command: args are the words after the program name. The home
// directory must have been set.
int mastdb_run(const std::vector<std::string>& args);

// The program: sets the home directory from the executable's path and runs
// the command line.
int mastdb_main(int argc, char** argv);
