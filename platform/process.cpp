#include "platform/process.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace plat {

std::string executable_path() {
    // readlink does not say how long the name is: grow the buffer until the
    // answer leaves room to spare.
    std::vector<char> buf(256);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string();
        if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), n);
        if (buf.size() >= (std::size_t{1} << 20)) {
            errno = ENAMETOOLONG;
            return std::string();
        }
        buf.resize(buf.size() * 2);
    }
}

int process_id() {
    return static_cast<int>(::getpid());
}

}  // namespace plat
