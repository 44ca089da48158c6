// Options-file lines and the word splitter: the text is the contents of
// "localopts" and "globalopts" of a scratch installation, read by the line
// reader, the key = value parser, the key search, the workstation-name
// readers, the general options call and the directory look-up; then it is
// split into words with character classes from the input, scanned word by
// word, and its words looked up in keyword tables.
//
// Input: the four character classes, the delimiters of scan_word, a key and
// a keyword list (each a length-prefixed string), then the text.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "utils/libs/tokenize.h"
#include "utils/libs/voropts.h"

namespace {

fuzz::ScratchHome* g_home = nullptr;
std::string g_localopts;
std::string g_globalopts;

void run_options(const std::string& text, const std::string& key, const std::string& picks) {
    fuzz::write_file(g_localopts, text);
    fuzz::write_file(g_globalopts, text);
    master_name_reset();
    this_cpu_reset();

    OptionsFile f = open_options_file(g_localopts);
    if (f) {
        std::string line;
        int lines = 0;
        while (read_options_line(f.get(), line, 1 + (lines % 300)) && lines < 10000) {
            parse_option_line(line);
            ++lines;
        }
        std::string value;
        find_option(f.get(), key, value);
        find_option(f.get(), "thiscpu", value);
    }
    find_leading_word_value(g_localopts, key, "master", kWorkstationNameMax);
    master_name();

    // A few keys, each into a destination of its kind or of a wrong one
    // (every request reads both files again, so not all of them at once).
    const std::span<const OptionKey> keys = option_keys();
    std::string text_value;
    std::int16_t short_value = 0;
    std::int32_t long_value = 0;
    bool bool_value = false;
    std::uint8_t flag_value = 0;
    std::vector<OptionRequest> requests;
    for (const char c : picks) {
        const auto pick = static_cast<std::uint8_t>(c);
        const OptionKey& k = keys[pick % keys.size()];
        OptionDest dest;
        switch ((pick >> 5) & 7) {
            case 0:
                dest = &text_value;
                break;
            case 1:
                dest = &short_value;
                break;
            case 2:
                dest = &long_value;
                break;
            case 3:
                dest = &bool_value;
                break;
            case 4:
                dest = &flag_value;
                break;
            case 5:
                dest = static_cast<std::string*>(nullptr);
                break;
            default:
                // The destination of the key's own kind.
                switch (k.type) {
                    case OptionType::text:
                        dest = &text_value;
                        break;
                    case OptionType::short_number:
                    case OptionType::carry_forward:
                        dest = &short_value;
                        break;
                    case OptionType::long_number:
                        dest = &long_value;
                        break;
                    case OptionType::boolean:
                        dest = &flag_value;
                        break;
                }
        }
        requests.push_back({(pick & 0x10) != 0 ? k.number : pick, dest});
    }
    std::vector<int> sources(requests.size() / 2);
    get_options(requests, sources);

    for (int kind : {DIR_MASTER_DB, DIR_NETWORK, DIR_PARAMETERS}) {
        std::string name = key;
        locate_dir_file(kind, name);
    }
}

void run_words(const std::string& text, const CharClasses& classes, const std::string& delimiters,
               const std::vector<std::string>& keywords) {
    std::optional<WordList> list =
        split_words(text.c_str(), static_cast<int>(text.size()), classes);
    if (list) {
        for (const Word* w = word_current(*list); w != nullptr; w = word_next(*list))
            word_class_flags(w->text);
        word_previous(*list);
        word_rewind(*list);
    }
    split_words(text.c_str(), 0, classes);

    int position = 0;
    ScannedWord word;
    for (int n = 0; n < 1000; ++n) {
        const int before = position;
        const int rc =
            scan_word(text.data(), static_cast<int>(text.size()), delimiters, &position, &word);
        if (rc < 0 || position <= before) break;
    }

    std::vector<Keyword> table;
    for (const std::string& k : keywords)
        table.push_back({k.c_str(), static_cast<unsigned char>(table.size())});
    if (list) {
        for (const Word& w : list->words) {
            match_keyword(w.text.c_str(), table, true);
            match_keyword(w.text.c_str(), table, false);
            keyword_value(w.text.c_str(), kBooleanKeywords, true);
        }
    }
    match_keyword(text.c_str(), table, true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static fuzz::ScratchHome home("options");
    g_home = &home;
    fuzz::fs::create_directories(home.dir().file("brantis"));
    g_localopts = home.dir().file("localopts");
    g_globalopts = home.dir().file("brantis/globalopts");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    CharClasses classes;
    classes.leading = in.ConsumeRandomLengthString(8);
    classes.ordinary = in.ConsumeRandomLengthString(8);
    classes.rest_of_line = in.ConsumeRandomLengthString(8);
    classes.restart = in.ConsumeRandomLengthString(8);
    const std::string delimiters = in.ConsumeRandomLengthString(8);
    const std::string key = in.ConsumeRandomLengthString(40);
    std::vector<std::string> keywords;
    const int nkeywords = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < nkeywords; ++i)
        keywords.push_back(in.ConsumeRandomLengthString(24));
    const std::string picks = in.ConsumeRandomLengthString(4);
    const std::string text = in.ConsumeRemainingBytesAsString();

    // Every key looked up reads the files again: a short file keeps the
    // target fast and holds all the line forms there are.
    run_options(text.substr(0, 1024), key, picks);
    run_words(text, classes, delimiters, keywords);
    return 0;
}
