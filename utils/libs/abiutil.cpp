// The component registry. See abiutil.h.
#include "utils/libs/abiutil.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/fileio.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"

namespace {

// Message 1100/53 is written framed and starred.
constexpr int kGroupMsgFlags = MSG_FRAME | MSG_STARS;

struct ResultName {
    int code;
    const char* name;
};

constexpr ResultName kResultNames[] = {
    {COMP_NO_ERROR, "NO_ERROR"},
    {COMP_FILE_NOT_FOUND, "FILE_NOT_FOUND"},
    {COMP_FILE_PERMISSION_ERROR, "FILE_PERMISSION_ERROR"},
    {COMP_FILE_READ_ERROR, "FILE_READ_ERROR"},
    {COMP_FILE_WRITE_ERROR, "FILE_WRITE_ERROR"},
    {COMP_FILE_CREATE_ERROR, "FILE_CREATE_ERROR"},
    {COMP_FILE_OPEN_ERROR, "FILE_OPEN_ERROR"},
    {COMP_FILE_NAME_INVALID_ERROR, "FILE_NAME_INVALID_ERROR"},
    {COMP_PRODUCT_NOT_FOUND, "PRODUCT_NOT_FOUND"},
    {COMP_GROUP_NOT_FOUND, "GROUP_NOT_FOUND"},
    {COMP_VERSION_NOT_FOUND, "VERSION_NOT_FOUND"},
    {COMP_VERSION_ERROR, "VERSION_ERROR"},
    {COMP_NEWER_OR_SAME_EXISTS, "NEWER_OR_SAME_EXISTS"},
    {COMP_BUFFER_OVERFLOW, "BUFFER_OVERFLOW"},
    {COMP_BAD_ARGUMENTS, "BAD_ARGUMENTS"},
    {COMP_UNEXPECTED_ERROR, "UNEXPECTED_ERROR"},
};

struct Product {
    int number;
    const char* name;
};

constexpr Product kProducts[] = {
    {PRODUCT_VORTAN, "VORTAN"},
};

bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Fields of a registry line: product, version, path, group.
std::vector<std::string_view> line_fields(std::string_view line) {
    constexpr std::string_view kSeparators = " ,\t\n\r";
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (fields.size() < 4) {
        pos = line.find_first_not_of(kSeparators, pos);
        if (pos == std::string_view::npos) break;
        std::size_t end = line.find_first_of(kSeparators, pos);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    fields.resize(4);
    return fields;
}

std::string_view major_part(std::string_view version) {
    return version.substr(0, version.find('.'));
}

bool version_matches(long flags, std::string_view wanted, std::string_view have) {
    if (flags & COMP_EXACT_VERSION) return same_text(wanted, have);
    return same_text(major_part(wanted), major_part(have));
}

// Checks and opens the registry named in the record (or by the environment).
int open_registry(ComponentInfo& ci) {
    ci.file.reset();
    if (ci.componentFilePath.empty()) {
        const char* env = std::getenv(kComponentFileVariable);
        if (env != nullptr) ci.componentFilePath = env;
    }
    if (ci.componentFilePath.empty()) return COMP_FILE_NOT_FOUND;
    const char* p = ci.componentFilePath.c_str();

    plat::FileStatus st;
    if (plat::FH_stat_file(p, &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return COMP_FILE_OPEN_ERROR;
    } else if (!st.is_regular) {
        return COMP_FILE_NAME_INVALID_ERROR;
    }
    if (plat::FH_access_file(p, 4) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? COMP_FILE_NOT_FOUND
                                                   : COMP_FILE_PERMISSION_ERROR;
    }
    ci.file.reset(std::fopen(p, "r"));
    return ci.file ? COMP_NO_ERROR : COMP_FILE_OPEN_ERROR;
}

}  // namespace

const char* product_name(int number) {
    for (const Product& p : kProducts) {
        if (p.number == number) return p.name;
    }
    return nullptr;
}

int find_component(ComponentInfo& ci, std::string& path, int path_limit, bool first_call) {
    if (path_limit < 0) return COMP_BAD_ARGUMENTS;
    if (first_call) {
        ci.wanted = ComponentCriteria{ci.product, ci.group, ci.version, path, ci.flags};
        const int rc = open_registry(ci);
        if (rc != COMP_NO_ERROR) return rc;
        if (!ci.version.empty() && !(ci.flags & (COMP_EXACT_VERSION | COMP_MAJOR_VERSION))) {
            std::fputs("Exact or Major version flag should be specified\n", stderr);
            ci.file.reset();
            return COMP_PRODUCT_NOT_FOUND;
        }
    }
    if (!ci.file) return COMP_PRODUCT_NOT_FOUND;
    const ComponentCriteria& w = ci.wanted;

    std::string line;
    while (read_options_line(ci.file.get(), line, kComponentLineMax)) {
        const std::vector<std::string_view> f = line_fields(line);
        if (f[2].size() > static_cast<std::size_t>(path_limit)) {
            ci.file.reset();
            return COMP_BUFFER_OVERFLOW;
        }
        if (!w.product.empty() && !same_text(w.product, f[0])) continue;
        if (!w.group.empty() && !same_text(w.group, f[3])) continue;
        if (!w.path.empty() && !same_text(w.path, f[2])) continue;
        if (!w.version.empty() && !version_matches(w.flags, w.version, f[1])) continue;

        ci.product = f[0];
        ci.version = f[1];
        ci.group = f[3];
        path = f[2];
        if (ci.close_on_match) ci.file.reset();
        return COMP_NO_ERROR;
    }
    const bool failed = std::ferror(ci.file.get()) != 0;
    ci.file.reset();
    return failed ? COMP_FILE_READ_ERROR : COMP_PRODUCT_NOT_FOUND;
}

std::string component_result_text(int code) {
    for (const ResultName& r : kResultNames) {
        if (r.code == code) return std::to_string(code) + "=" + r.name;
    }
    return std::to_string(code) + ", No error code for this number";
}

void print_component_info(const ComponentInfo& ci, std::FILE* out) {
    if (out == nullptr) return;
    std::fprintf(out,
                 "ci.flags=%ld\nci.componentFilePath=%s\nci.product=%s\nci.group=%s\n"
                 "ci.version=%s\n",
                 ci.flags, ci.componentFilePath.c_str(), ci.product.c_str(), ci.group.c_str(),
                 ci.version.c_str());
}

int installation_group(std::string& group, int product_number) {
    group.clear();
    std::string home = make_abs_path(std::string());
    while (!home.empty() && home.back() == '/')
        home.pop_back();

    const char* product = product_name(product_number);
    int rc = COMP_BAD_ARGUMENTS;
    if (product != nullptr) {
        ComponentInfo ci;
        ci.product = product;
        std::string path = home;
        rc = find_component(ci, path, kComponentPathMax, true);
        if (rc == COMP_NO_ERROR) group = ci.group;
    }
    if (rc != COMP_NO_ERROR) {
        issue_msg(kGroupMsgFlags, 1100, 53,
                  {arg_str(product != nullptr ? product : ""), arg_str(home.c_str())});
    }
    return rc;
}
