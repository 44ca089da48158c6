#include "utils/libs/stdutil.h"

#include <cctype>
#include <cstring>

#include "platform/process.h"

namespace {

struct HomeState {
    std::string dir;
    bool known = false;
};

HomeState& home_state() {
    static HomeState state;
    return state;
}

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t trimmed_length(const char* s, std::size_t n) {
    while (n > 0 && is_white(s[n - 1]))
        --n;
    return n;
}

}  // namespace

std::string home_from_executable(const std::string& exe_path) {
    std::string home = exe_path;
    for (int cut = 0; cut < 2; ++cut) {
        std::size_t pos = home.find_last_of("/\\");
        if (pos == std::string::npos) break;
        home.erase(pos);
    }
    return home;
}

void set_home_from_module() {
    HomeState& st = home_state();
    st.dir = home_from_executable(plat::executable_path());
    st.known = true;
}

const std::string& home_dir() {
    HomeState& st = home_state();
    if (!st.known) set_home_from_module();
    return st.dir;
}

void set_home_dir(const std::string& dir) {
    HomeState& st = home_state();
    if (dir.empty()) {
        st.dir.clear();
        st.known = false;
        return;
    }
    st.dir = dir;
    while (!st.dir.empty() && is_separator(st.dir.back()))
        st.dir.pop_back();
    st.known = true;
}

bool is_absolute_path(const char* path) {
    if (path == nullptr) return false;
    if (is_separator(path[0])) return true;
    return std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
           is_separator(path[2]);
}

int make_abs_path(char* path, int size) {
    if (path == nullptr || size <= 0) return -1;
    const std::size_t cap = static_cast<std::size_t>(size);
    std::size_t len = strnlen(path, cap);
    if (len == cap) return -1;  // not terminated inside its buffer
    len = trimmed_length(path, len);
    const bool absolute = (len >= 1 && is_separator(path[0])) ||
                          (len >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                           path[1] == ':' && is_separator(path[2]));
    if (absolute) {
        path[len] = '\0';
        return static_cast<int>(len);
    }
    const std::string& home = home_dir();
    const std::size_t total = home.size() + 1 + len;
    if (total + 1 > cap) return -1;
    std::memmove(path + home.size() + 1, path, len);
    std::memcpy(path, home.data(), home.size());
    path[home.size()] = '/';
    path[total] = '\0';
    return static_cast<int>(total);
}

std::string make_abs_path(const std::string& path) {
    std::string p = path.substr(0, trimmed_length(path.data(), path.size()));
    if (is_absolute_path(p.c_str())) return p;
    return home_dir() + "/" + p;
}

int notify_agent(int code, const char* text) {
    (void)code;
    (void)text;
    return -1;
}
