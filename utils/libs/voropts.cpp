// Options files: line reading, key lookup and the typed options call. See
// voropts.h.
#include "utils/libs/voropts.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <type_traits>

#include "platform/fileio.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/tokenize.h"

namespace {

// Words end at blank, tab, newline and '='; '#' turns the rest of the line
// into a comment.
const CharClasses& option_classes() {
    static const CharClasses classes{"", " \t\n=", "#", ""};
    return classes;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool is_comment_line(std::string_view line) {
    return !line.empty() && (line[0] == '#' || line[0] == '*');
}

std::optional<WordList> split_line(std::string_view line) {
    if (line.empty()) return WordList{};
    return split_words(line.data(), static_cast<int>(line.size()), option_classes());
}

constexpr OptionKey kOptionKeys[] = {
    {OPT_COMPANY, "company", OptionGroup::global, OptionType::text, 0},
    {OPT_HISTORY, "history", OptionGroup::global, OptionType::short_number, 0},
    {OPT_START, "start", OptionGroup::global, OptionType::short_number, 0},
    {OPT_CARRYFORWARD, "carryforward", OptionGroup::global, OptionType::carry_forward, 1},
    {OPT_SKIPINSTALLATION, "skipinstallation", OptionGroup::global, OptionType::boolean, 0},
    {OPT_RULESMODE, "rulesmode", OptionGroup::global, OptionType::boolean, 0},
    {OPT_IGNORECALENDARS, "ignorecalendars", OptionGroup::global, OptionType::boolean, 0},
    {OPT_RETAINRERUNJOBNAME, "retainrerunjobname", OptionGroup::global, OptionType::boolean, 0},
    {OPT_EMPTYSCHEDSARESUCC, "emptyschedsaresucc", OptionGroup::global, OptionType::boolean, 0},
    {OPT_NETWORKNAME, "networkname", OptionGroup::global, OptionType::text, 0},
    {OPT_ALLUSERJOBSINUSERJOBSSCHEDULE, "alluserjobsinuserjobsschedule", OptionGroup::global,
     OptionType::boolean, 0},
    {OPT_SETMPEJOBPRITOZERO, "setmpejobpritozero", OptionGroup::local, OptionType::boolean, 0},
    {OPT_KEEPMPEPRI, "keepmpepri", OptionGroup::local, OptionType::boolean, 0},
    {OPT_CONSOLEWIDTH, "consolewidth", OptionGroup::local, OptionType::short_number, 80},
    {OPT_STDLISTWIDTH, "stdlistwidth", OptionGroup::local, OptionType::short_number, 80},
    {OPT_SYSLOGLOCAL, "sysloglocal", OptionGroup::local, OptionType::short_number, -1},
    {OPT_MERGESTDLISTS, "mergestdlists", OptionGroup::local, OptionType::boolean, 0},
    {OPT_CARRYJOBSTATES, "carryjobstates", OptionGroup::global, OptionType::text, 0},
    {OPT_EXPANDEDVERSION, "expandedversion", OptionGroup::global, OptionType::boolean, 0},
    {OPT_VORTANDIRECTORY, "vortandirectory", OptionGroup::local, OptionType::text, 0},
    {OPT_TELVARNETWORKDIRECTORY, "telvarnetworkdirectory", OptionGroup::local, OptionType::text, 0},
    {OPT_PARAMETERSDIRECTORY, "parametersdirectory", OptionGroup::local, OptionType::text, 0},
    {OPT_AUTOMATICALLYGRANTLOGONASBATCH, "automaticallygrantlogonasbatch", OptionGroup::global,
     OptionType::boolean, 0},
};

// A value converted to its key's type.
struct TypedValue {
    std::string text;
    std::int32_t number = 0;
};

// Converts a value word; nullopt when it does not have the type's form.
std::optional<TypedValue> convert(const std::string& word, OptionType type) {
    TypedValue v;
    switch (type) {
        case OptionType::text:
            if (word.empty()) return std::nullopt;
            v.text = word;
            return v;
        case OptionType::short_number:
        case OptionType::long_number: {
            // Only a leading digit makes a number, so a sign never does.
            if (word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) {
                return std::nullopt;
            }
            const long long n = std::strtoll(word.c_str(), nullptr, 10);
            v.number = type == OptionType::short_number ? static_cast<std::int16_t>(n)
                                                        : static_cast<std::int32_t>(n);
            return v;
        }
        case OptionType::boolean: {
            const int b = keyword_value(word.c_str(), kBooleanKeywords, true);
            if (b < 0) return std::nullopt;
            v.number = b;
            return v;
        }
        case OptionType::carry_forward: {
            const std::string w = lower(word);
            if (w == "yes") {
                v.number = 1;
            } else if (w == "no") {
                v.number = 0;
            } else if (w == "all") {
                v.number = 2;
            } else {
                return std::nullopt;
            }
            return v;
        }
    }
    return std::nullopt;
}

// True when the destination can hold a value of the type (and is not null).
bool dest_fits(const OptionDest& dest, OptionType type) {
    return std::visit(
        [type](auto* p) -> bool {
            using T = std::remove_pointer_t<decltype(p)>;
            if (p == nullptr) return false;
            switch (type) {
                case OptionType::text:
                    return std::is_same_v<T, std::string>;
                case OptionType::short_number:
                case OptionType::carry_forward:
                    return std::is_same_v<T, std::int16_t> || std::is_same_v<T, std::int32_t>;
                case OptionType::long_number:
                    return std::is_same_v<T, std::int32_t>;
                case OptionType::boolean:
                    return std::is_same_v<T, bool> || std::is_same_v<T, std::uint8_t>;
            }
            return false;
        },
        dest);
}

void store(const OptionDest& dest, const TypedValue& v) {
    std::visit(
        [&v](auto* p) {
            using T = std::remove_pointer_t<decltype(p)>;
            if constexpr (std::is_same_v<T, std::string>) {
                *p = v.text;
            } else if constexpr (std::is_same_v<T, bool>) {
                *p = v.number != 0;
            } else {
                *p = static_cast<T>(v.number);
            }
        },
        dest);
}

// The four options files of one call, opened on first use.
class CallFiles {
  public:
    std::FILE* get(OptionGroup group, bool near) {
        const std::size_t i = (group == OptionGroup::global ? 0 : 2) + (near ? 0 : 1);
        if (!tried_[i]) {
            static constexpr const char* kPaths[4] = {
                "brantis/globalopts",
                "../telvar/network/globalopts",
                "localopts",
                "../telvar/localopts",
            };
            files_[i] = open_options_file(make_abs_path(std::string(kPaths[i])));
            tried_[i] = true;
        }
        return files_[i].get();
    }

  private:
    std::array<OptionsFile, 4> files_{};
    std::array<bool, 4> tried_{};
};

}  // namespace

OptionsFile open_options_file(const std::string& path) {
    if (path.empty()) return OptionsFile{};
    // A directory opens for reading here but yields no lines: it counts as
    // a file that cannot be opened.
    plat::FileStatus st;
    if (plat::FH_stat_file(path.c_str(), &st) == 0 && st.is_directory) return OptionsFile{};
    return OptionsFile{std::fopen(path.c_str(), "r")};
}

bool read_options_line(std::FILE* file, std::string& line, int limit) {
    line.clear();
    if (file == nullptr) return false;
    const std::size_t max = limit > 0 ? static_cast<std::size_t>(limit) : 0;
    bool any = false;
    int c;
    while ((c = std::getc(file)) != EOF) {
        any = true;
        if (c == '\n') return true;
        if (line.size() < max) line.push_back(static_cast<char>(c));
    }
    return any;
}

OptionLine parse_option_line(std::string_view line) {
    OptionLine out;
    if (line.size() < 2 || is_comment_line(line)) return out;
    std::optional<WordList> words = split_line(line);
    if (!words) return out;
    std::string key;
    for (std::size_t i = 0; i < words->words.size(); ++i) {
        const Word& w = words->words[i];
        if (w.flags & WORD_REST) break;
        key += lower(w.text);
        if (w.delimiter == '#') break;
        if (w.delimiter == '=') {
            if (key.empty()) break;
            out.has_key = true;
            out.key = std::move(key);
            if (i + 1 < words->words.size() && !(words->words[i + 1].flags & WORD_REST)) {
                out.value = words->words[i + 1].text;
            }
            break;
        }
    }
    return out;
}

bool find_option(std::FILE* file, std::string_view key, std::string& value) {
    value.clear();
    if (file == nullptr) return false;
    std::rewind(file);
    const std::string wanted = lower(key);
    std::string line;
    while (read_options_line(file, line)) {
        OptionLine parsed = parse_option_line(line);
        if (parsed.has_key && parsed.key == wanted) {
            value = std::move(parsed.value);
            return true;
        }
    }
    return false;
}

std::string find_leading_word_value(const std::string& path, std::string_view key1,
                                    std::string_view key2, int width) {
    OptionsFile file = open_options_file(path);
    if (!file) return {};
    std::string line;
    while (read_options_line(file.get(), line)) {
        if (is_comment_line(line)) continue;
        std::optional<WordList> words = split_line(line);
        if (!words || words->words.size() < 2) continue;
        const Word& first = words->words[0];
        const std::string k = lower(first.text);
        if (k != key1 && k != key2) continue;
        if (first.delimiter == '#') continue;
        std::string name = upper(words->words[1].text);
        if (width >= 0 && name.size() > static_cast<std::size_t>(width)) {
            name.resize(static_cast<std::size_t>(width));
        }
        while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
            name.pop_back();
        if (!name.empty()) return name;
    }
    return {};
}

std::span<const OptionKey> option_keys() {
    return kOptionKeys;
}

const OptionKey* option_key(int number) {
    for (const OptionKey& k : kOptionKeys) {
        if (k.number == number) return &k;
    }
    return nullptr;
}

int get_options(std::span<const OptionRequest> requests, std::span<int> sources) {
    CallFiles files;
    int refused = 0;
    std::string value;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const OptionRequest& req = requests[i];
        int source = OPTION_DEFAULT;
        const OptionKey* key = option_key(req.number);
        if (key == nullptr || !dest_fits(req.dest, key->type)) {
            ++refused;
        } else {
            std::optional<TypedValue> found;
            for (const int where : {OPTION_NEAR, OPTION_FAR}) {
                std::FILE* f = files.get(key->group, where == OPTION_NEAR);
                if (f == nullptr || !find_option(f, key->key, value)) continue;
                found = convert(value, key->type);
                if (found) {
                    source = where;
                    break;
                }
            }
            if (!found) {
                found = TypedValue{};
                found->number = key->default_value;
            }
            store(req.dest, *found);
        }
        if (i < sources.size()) sources[i] = source;
    }
    return refused;
}
