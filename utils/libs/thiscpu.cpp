// This workstation's name. See thiscpu.h.
#include "utils/libs/thiscpu.h"

#include <cctype>

#include "platform/identity.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/utlopts.h"
#include "utils/libs/voropts.h"

namespace {

// Characters of the node name used when no options file names this workstation.
constexpr std::size_t kNodeNameWidth = 8;

std::string& kept_cpu_name() {
    static std::string name;
    return name;
}

}  // namespace

std::string this_cpu_name() {
    std::string& kept = kept_cpu_name();
    if (!kept.empty()) return kept;
    for (const char* file : {"localopts", "config", "../telvar/localopts"}) {
        kept = find_leading_word_value(make_abs_path(std::string(file)), "thiscpu", "cpuid",
                                       kWorkstationNameMax);
        if (!kept.empty()) return kept;
    }
    kept = plat::node_name().substr(0, kNodeNameWidth);
    for (char& c : kept)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return kept;
}

void this_cpu_reset() {
    kept_cpu_name().clear();
}
