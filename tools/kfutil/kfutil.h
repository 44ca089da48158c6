// kfutil: the administrator's keyed-file utility. It creates, dumps, checks,
// rebuilds and empties keyed data files with their index files, and runs
// batches of record and index operations read from standard input.
//
// Exit status: 0 success, 1 failure (an error, a fault found, an operation of
// a batch that failed), 2 a usage error.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

enum : int { KFUTIL_OK = 0, KFUTIL_FAILED = 1, KFUTIL_USAGE = 2 };

// Runs one command: args are the words after the program name. Reads batch
// operations from in, writes results to out and diagnostics to err.
int kfutil_run(const std::vector<std::string>& args, std::FILE* in, std::FILE* out, std::FILE* err);

// The program: kfutil_run over the command line and the standard streams.
int kfutil_main(int argc, char** argv);
