// Directories of the master database and the master's name. See utlopts.h.
#include "utils/libs/utlopts.h"

#include "utils/libs/stdutil.h"
#include "utils/libs/voropts.h"

namespace {

struct DirKind {
    const char* key;
    const char* default_dir;
};

constexpr DirKind kDirKinds[] = {
    {"brantisdirectory", "brantis/"},
    {"telvarnetworkdirectory", "../telvar/network/"},
    {"parametersdirectory", ""},
};

std::string& kept_master_name() {
    static std::string name;
    return name;
}

}  // namespace

int locate_dir_file(int kind, std::string& name) {
    if (kind < 0 || kind >= static_cast<int>(std::size(kDirKinds))) return -1;
    const DirKind& k = kDirKinds[kind];
    OptionsFile file = open_options_file(make_abs_path(std::string("localopts")));
    if (!file) return -1;
    std::string dir;
    find_option(file.get(), k.key, dir);
    if (!dir.empty()) {
        if (dir.back() != '/' && dir.back() != '\\') dir += '/';
        name = dir + name;
    } else {
        name = make_abs_path(std::string(k.default_dir) + name);
    }
    return 0;
}

std::string master_name() {
    std::string& kept = kept_master_name();
    if (!kept.empty()) return kept;
    for (const char* file : {"localopts", "brantis/globalopts", "configglobalopts"}) {
        kept = find_leading_word_value(make_abs_path(std::string(file)), "master", "mastercpu",
                                       kWorkstationNameMax);
        if (!kept.empty()) break;
    }
    return kept;
}

void master_name_reset() {
    kept_master_name().clear();
}
