// This workstation's name.
#pragma once

#include <string>

// This workstation's name, upper case, at most 16 characters. Looked for in
// "localopts", "config" and ../telvar/localopts below the home directory: the
// first line whose first word is "thiscpu" or "cpuid" (no '=' needed) gives
// it. Without one it is the first 8 characters of the host's node name. Found
// once and kept for the process.
std::string this_cpu_name();
// Test hook: forget the kept name.
void this_cpu_reset();
