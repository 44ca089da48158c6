// The running user's identity. See sysutils.h.
#include "utils/libs/sysutils.h"

#include "platform/identity.h"
#include "utils/libs/tokenutils.h"

std::string short_user_name(const std::string& full_name) {
    const std::size_t cut = full_name.rfind('\\');
    return cut == std::string::npos ? full_name : full_name.substr(cut + 1);
}

void get_user_identity(UserIdentity& user) {
    const unsigned uid = plat::current_uid();
    user.full_name = plat::user_name(uid);
    if (user.full_name.empty()) user.full_name = std::to_string(uid);
    user.short_name = short_user_name(user.full_name);
    user.super_user = plat::am_i_super_user();
    user.program_owner = uid == owner_uid();
    user.groups.clear();
}
