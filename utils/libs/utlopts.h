// The directories of the master database and the master workstation's name,
// both read from the options files.
#pragma once

#include <string>

// Kinds of directory, each with its key in "localopts" and its default below
// the home directory.
enum : int {
    DIR_MASTER_DB = 0,   // brantisdirectory, default "brantis/"
    DIR_NETWORK = 1,     // telvarnetworkdirectory, default "../telvar/network/"
    DIR_PARAMETERS = 2,  // parametersdirectory, default the home directory itself
};

// Rewrites name to the full path of a file in the directory of the kind.
// When "localopts" gives the directory key a value, the result is that value,
// a "/" unless the value already ends in "/" or "\", and the name, used as it
// is (not made absolute). Otherwise it is the default directory and the name,
// made absolute below the home directory. Returns 0, or -1 (name unchanged)
// when "localopts" cannot be opened or the kind is unknown.
int locate_dir_file(int kind, std::string& name);

// Width of a workstation name.
constexpr int kWorkstationNameMax = 16;

// The master workstation's name, upper case, at most 16 characters; empty
// when no file gives it. Looked for in "localopts", then in
// brantis/globalopts, then in "configglobalopts", each below the home
// directory: the first line whose first word is "master" or "mastercpu" (no
// '=' needed) gives it. Kept for the process once found.
std::string master_name();
// Test hook: forget the kept name.
void master_name_reset();
