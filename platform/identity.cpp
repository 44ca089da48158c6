#include "platform/identity.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace plat {

unsigned current_uid() {
    return static_cast<unsigned>(::getuid());
}

std::string user_name(unsigned uid) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
    // An entry larger than the hint gives ERANGE; grow the buffer a few times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<char> buf(size);
        struct passwd pw;
        struct passwd* found = nullptr;
        int r = ::getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found);
        if (r == 0) return found != nullptr && found->pw_name != nullptr ? found->pw_name : "";
        if (r != ERANGE) return "";
        size *= 2;
    }
    return "";
}

bool am_i_super_user() {
    return ::getuid() == 0;
}

std::string node_name() {
    struct utsname u;
    if (::uname(&u) != 0) return "";
    return u.nodename;
}

}  // namespace plat
