// The installation's home directory and names relative to it.
#pragma once

#include <string>

// Sets the home directory from the executable's path: its last two
// components (the file and the directory holding it) are removed.
void set_home_from_module();
// The home directory, without a trailing separator. Set from the module path
// on first use when nobody set it.
const std::string& home_dir();
// Test hook: use this home directory instead (empty: forget it).
void set_home_dir(const std::string& dir);
// Trims trailing white space; an absolute path (/x, \x, d:\x, d:/x) stays as
// it is, any other becomes <home>/<path>. Returns the new length, or -1 when
// the result would not fit in size bytes (the path is then unchanged).
int make_abs_path(char* path, int size);
std::string make_abs_path(const std::string& path);

// The home directory of an executable path: the path cut at its last two
// separators ('/' or '\').
std::string home_from_executable(const std::string& exe_path);
// True for /x, \x, d:\x and d:/x.
bool is_absolute_path(const char* path);

// Reports a fatal message to the agent pipe when this process registered a
// process name. This program registers none, so nothing is written and the
// result is -1.
int notify_agent(int code, const char* text);
