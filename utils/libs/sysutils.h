// The running user's identity as the security rules see it.
#pragma once

#include <string>
#include <vector>

// The user who runs the program. On this platform there are no domains: the
// full name is the account name alone (the decimal user id when the user
// database has no entry for it), so the short name equals it. The group list
// is always empty.
struct UserIdentity {
    std::string full_name;
    std::string short_name;  // the part after the last backslash
    bool super_user = false;
    bool program_owner = false;  // the user owns the program file
    std::vector<std::string> groups;
};

// Fills the identity of the current user from the platform layer.
void get_user_identity(UserIdentity& user);

// The part of a full name after its last backslash, or the whole name.
std::string short_user_name(const std::string& full_name);
