// Facts about the running process.
#pragma once

#include <string>

namespace plat {

// Full path of the running executable (from /proc/self/exe); empty on failure.
std::string executable_path();
int process_id();

}  // namespace plat
