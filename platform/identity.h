// The running user's identity and the host's name.
#pragma once

#include <string>

namespace plat {

unsigned current_uid();
// Account name of a user id; empty when the user database has no entry.
std::string user_name(unsigned uid);
// The super user is uid 0; there are no groups on this platform layer.
bool am_i_super_user();
// The host's node name as uname(2) reports it.
std::string node_name();

}  // namespace plat
