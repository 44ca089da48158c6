// Program owner and system-error reports. See tokenutils.h.
#include "utils/libs/tokenutils.h"

#include <cstring>
#include <optional>
#include <string>

#include "platform/fileio.h"
#include "platform/identity.h"
#include "platform/process.h"
#include "utils/libs/issuemsg.h"

namespace {

constexpr const char* kModuleName = "tokenutils";

std::optional<unsigned>& kept_owner_uid() {
    static std::optional<unsigned> uid;
    return uid;
}

// The system's text for an error code on one line.
std::string one_line_error(int error_code) {
    std::string text = std::strerror(error_code);
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

void become_program_owner() {}

unsigned owner_uid() {
    std::optional<unsigned>& kept = kept_owner_uid();
    if (kept) return *kept;
    plat::FileStatus st;
    const std::string exe = plat::executable_path();
    if (!exe.empty() && plat::FH_stat_file(exe.c_str(), &st) == 0) {
        kept = st.owner_uid;
    } else {
        kept = plat::current_uid();
    }
    return *kept;
}

void report_system_error(int flags, int location, int set_value, int number, int error_code) {
    char buf[kFormatBufSize];
    std::int16_t length = 0;
    const std::string text = one_line_error(error_code);
    format_msg(buf, &length, set_value, number,
               {arg_str(kModuleName), arg_int(location), arg_str(text.c_str())});
    issue_text(flags, buf, length);
}

void report_system_error(int flags, int location, int set_value, int number) {
    char buf[kFormatBufSize];
    std::int16_t length = 0;
    format_msg(buf, &length, set_value, number, {arg_str(kModuleName), arg_int(location)});
    issue_text(flags, buf, length);
}
