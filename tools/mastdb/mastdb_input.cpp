// mastdb's input files. See mastdb_input.h.
#include "tools/mastdb/mastdb_input.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

#include "driver/korvex_list.h"
#include "driver/sparser.h"
#include "driver/sscanner.h"
#include "platform/fileio.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"

namespace {

// An input file larger than this is no definition or calendar file.
constexpr std::size_t kInputFileMax = 64u << 20;
// Lines with control characters reported one by one before a summary.
constexpr int kByteFaultsShown = 5;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_alpha(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

bool is_digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Characters that begin and continue a name word of the definition language:
// letters, digits and "_%?@-" begin one; '*' may follow. (A NUL counts as a
// beginning, as strchr finds the end of the list for it.)
struct WordChars {
    std::array<bool, 256> start{};
    std::array<bool, 256> cont{};
    WordChars() {
        for (int c = 0; c < 256; ++c) {
            start[static_cast<std::size_t>(c)] =
                std::isalnum(c) != 0 || c == 0 || std::strchr("_%?@-", c) != nullptr;
            cont[static_cast<std::size_t>(c)] = start[static_cast<std::size_t>(c)] || c == '*';
        }
    }
};

const WordChars& word_chars() {
    static const WordChars table;
    return table;
}

bool id_char(char c) {
    return word_chars().cont[static_cast<unsigned char>(c)];
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// True when word is keyword (upper case) in any case.
bool is_keyword(std::string_view word, std::string_view keyword) {
    if (word.size() != keyword.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(word[i])) != keyword[i]) return false;
    return true;
}

// ---- lines of a definition ------------------------------------------------------

enum class LineKind { blank, comment, text };
enum class LineWord { other, schedule, end };

struct LineInfo {
    LineKind kind = LineKind::blank;
    LineWord first_word = LineWord::other;  // the word the text begins with
};

LineWord first_word_of(std::string_view word) {
    if (is_keyword(word, "SCHEDULE")) return LineWord::schedule;
    if (is_keyword(word, "END")) return LineWord::end;
    return LineWord::other;
}

// Characters that may begin a comment, a block comment or a quoted text.
constexpr std::array<bool, 256> kMayMatter = [] {
    std::array<bool, 256> t{};
    t['*'] = true;
    t['<'] = true;
    t['"'] = true;
    return t;
}();

// Classifies a line of a definition as the schedule scanner sees it: a line
// whose first character is '#' or '*' is a comment; "*" starts a comment
// running to the end of the line; "<<" ... ">>" is a comment that may span
// lines (*in_block carries it from line to line); double quotes enclose text.
LineInfo classify_line(std::string_view line, bool* in_block, const WordChars& wc) {
    LineInfo info;
    if (!*in_block && !line.empty() && (line[0] == '#' || line[0] == '*')) {
        info.kind = LineKind::comment;
        return info;
    }
    auto starts_word = [&wc](char c) { return wc.start[static_cast<unsigned char>(c)]; };
    auto continues_word = [&wc](char c) { return wc.cont[static_cast<unsigned char>(c)]; };
    bool seen_comment = false;
    bool quote = false;
    std::size_t i = 0;
    if (!*in_block) {
        // The blanks the line begins with, then most often a word: the line
        // is text, and what it begins with is known.
        while (i < line.size() && is_blank(line[i]))
            ++i;
        if (i < line.size() && starts_word(line[i])) {
            std::size_t j = i + 1;
            while (j < line.size() && continues_word(line[j]))
                ++j;
            info.kind = LineKind::text;
            info.first_word = first_word_of(line.substr(i, j - i));
            i = j;
        }
    }
    while (i < line.size()) {
        if (info.kind == LineKind::text && !*in_block && !quote) {
            // Once the line is text, all that can still matter is whether a
            // block comment is left open for the lines after it; without a
            // "<<" in the rest of the line none can be.
            if (line.find("<<", i) == std::string_view::npos) break;
            // Otherwise only a comment, a block comment or a quoted text
            // matters: go to the first character that may begin one, or to
            // the word it is in, so that a '*' inside a word stays part of
            // it.
            std::size_t k = i;
            while (k < line.size() && !kMayMatter[static_cast<unsigned char>(line[k])])
                ++k;
            if (k == line.size()) break;
            while (k > i && continues_word(line[k - 1]))
                --k;
            i = k;
        }
        const char c = line[i];
        if (*in_block) {
            seen_comment = true;
            const std::size_t e = line.find(">>", i);
            if (e == std::string_view::npos) break;
            *in_block = false;
            i = e + 2;
            continue;
        }
        if (quote) {
            const std::size_t close = line.find('"', i);
            if (close == std::string_view::npos) break;
            quote = false;
            i = close + 1;
            continue;
        }
        if (is_blank(c)) {
            ++i;
            continue;
        }
        if (c == '<' && i + 1 < line.size() && line[i + 1] == '<') {
            *in_block = true;
            i += 2;
            continue;
        }
        if (c == '*') {
            seen_comment = true;
            break;
        }
        if (info.kind != LineKind::text) {
            info.kind = LineKind::text;
            if (starts_word(c)) {
                std::size_t j = i;
                while (j < line.size() && continues_word(line[j]))
                    ++j;
                info.first_word = first_word_of(line.substr(i, j - i));
                i = j;
                continue;
            }
        }
        if (c == '"') {
            quote = true;
            ++i;
        } else if (starts_word(c)) {
            // A whole word, so that a '*' inside it is no comment.
            while (i < line.size() && continues_word(line[i]))
                ++i;
        } else {
            ++i;
        }
    }
    if (info.kind != LineKind::text && seen_comment) info.kind = LineKind::comment;
    return info;
}

// Walks the lines of a definition text and tells, for each, whether it is
// a SCHEDULE or END line (a line whose first word is that keyword and that
// does not continue the line before it).
class LineWalker {
  public:
    struct Step {
        LineInfo info;
        bool is_schedule = false;
        bool is_end = false;
    };

    Step next(std::string_view line) {
        Step s;
        const bool joined = continued_;
        const bool col0_comment = !in_block_ && !line.empty() && (line[0] == '#' || line[0] == '*');
        s.info = classify_line(line, &in_block_, wc_);
        continued_ = !col0_comment && !line.empty() && line.back() == '\\';
        const bool word = s.info.kind == LineKind::text && !joined;
        s.is_schedule = word && s.info.first_word == LineWord::schedule;
        s.is_end = word && s.info.first_word == LineWord::end;
        return s;
    }

    // True before the first line, and whenever the next line begins afresh:
    // no block comment open and no line continued into it.
    bool fresh() const { return !in_block_ && !continued_; }

  private:
    const WordChars& wc_ = word_chars();
    bool in_block_ = false;
    bool continued_ = false;
};

// True when the first blank-separated word is SCHEDULE, in any case.
bool first_plain_word_is_schedule(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
        ++i;
    std::size_t j = i;
    while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j])))
        ++j;
    return is_keyword(line.substr(i, j - i), "SCHEDULE");
}

// Reads the identity of a SCHEDULE line: the names, and where the rest of the
// line (after the identity and the blanks that follow it) begins. The line
// is stored as "SCHEDULE WS#NAME rest".
bool schedule_line_identity(std::string_view line, const schedule_file_options& options,
                            std::string* ws, std::string* name, std::size_t* rest,
                            std::string* why) {
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i]))
        ++i;
    while (i < line.size() && id_char(line[i]))
        ++i;  // the keyword
    while (i < line.size() && is_blank(line[i]))
        ++i;
    auto word = [&line](std::size_t* p) {
        const std::size_t start = *p;
        while (*p < line.size() && id_char(line[*p]))
            ++*p;
        return line.substr(start, *p - start);
    };
    const std::string_view first = word(&i);
    std::size_t p = i;
    while (p < line.size() && is_blank(line[p]))
        ++p;
    std::string_view second;
    bool has_ws = false;
    if (p < line.size() && line[p] == '#') {
        has_ws = true;
        ++p;
        while (p < line.size() && is_blank(line[p]))
            ++p;
        second = word(&p);
        i = p;
    }
    if (first.empty() && !has_ws) {
        *why = "the SCHEDULE line names no schedule";
        return false;
    }
    const std::string_view w = has_ws ? first : std::string_view(options.default_workstation);
    const std::string_view n = has_ws ? second : first;
    std::string reason;
    if (!valid_object_name(w, options.name_width, &reason)) {
        *why = (has_ws ? "the workstation name " : "this workstation's name ") + reason +
               (has_ws ? "" : "; write the workstation as WS#NAME");
        return false;
    }
    if (!valid_object_name(n, options.name_width, &reason)) {
        *why = "the schedule name " + reason;
        return false;
    }
    *ws = upper_text(w);
    *name = upper_text(n);
    while (i < line.size() && is_blank(line[i]))
        ++i;
    *rest = i;
    return true;
}

// The number of records a line of a definition takes when stored: the
// pieces split_logical_line cuts it into, counted without making them.
std::size_t stored_pieces(std::string_view line) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0)
        line.remove_suffix(1);
    constexpr std::size_t kPiece = DB_CONTINUED_LENGTH - 1;
    std::size_t pieces = 1;
    while (line.size() > DB_CONTINUED_LENGTH || is_continued_line(line)) {
        ++pieces;
        line.remove_prefix(kPiece);
    }
    return pieces;
}

// The year written in a date text that parse_date accepted: the numbers are
// the runs of digits, read as parse_date assigns them.
bool written_year(std::string_view word, int date_format, long* year) {
    std::vector<std::string> runs;
    std::string run;
    for (char c : word) {
        if (is_digit(c)) {
            run.push_back(c);
        } else if (!run.empty()) {
            runs.push_back(run);
            run.clear();
        }
    }
    if (!run.empty()) runs.push_back(run);
    for (const std::string& r : runs)
        if (r.size() > 8) return false;
    if (runs.size() == 1) {
        *year = std::stol(runs[0]) / 10000;
        return true;
    }
    if (runs.size() != 3) return false;
    if (date_format == 3) date_format = analyse_date_format("%y/%m/%d");
    *year = std::stol(date_format == 1 || date_format == 2 ? runs[2] : runs[0]);
    return true;
}

}  // namespace

// ---- faults and files -------------------------------------------------------------

namespace {

// Sixteen bytes tested at once.
using byte_block = unsigned char __attribute__((vector_size(16)));

// Each byte of b that is a control character other than a tab, a line feed
// or a carriage return is all ones in the result, every other byte zero.
byte_block control_bytes(byte_block b) {
    return static_cast<byte_block>((b < 0x20) & (b != '\t') & (b != '\n') & (b != '\r')) |
           static_cast<byte_block>(b == 0x7f);
}

}  // namespace

bool holds_control_bytes(std::string_view bytes) {
    constexpr std::size_t kBlock = sizeof(byte_block);
    byte_block found{};
    std::size_t i = 0;
    for (; i + kBlock <= bytes.size(); i += kBlock) {
        byte_block b;
        std::memcpy(&b, bytes.data() + i, kBlock);
        found |= control_bytes(b);
    }
    if (i < bytes.size()) {
        // The last bytes, padded with blanks.
        byte_block b;
        std::memset(&b, ' ', kBlock);
        std::memcpy(&b, bytes.data() + i, bytes.size() - i);
        found |= control_bytes(b);
    }
    std::uint64_t halves[2];
    std::memcpy(halves, &found, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

std::string fault_text(const input_fault& f) {
    if (f.line > 0) return f.file + ", line " + std::to_string(f.line) + ": " + f.text;
    return f.file + ": " + f.text;
}

bool next_input_line(std::string_view text, std::size_t* pos, std::string_view* line) {
    const std::size_t start = *pos;
    if (start >= text.size()) return false;
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
        end = text.size();
        *pos = end;
    } else {
        *pos = end + 1;
    }
    *line = text.substr(start, end - start);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    return true;
}

std::vector<line_span> split_input_lines(std::string_view bytes) {
    std::vector<line_span> lines;
    // Lines of a definition file are short: room for most files at once.
    lines.reserve(bytes.size() / 32 + 1);
    const char* const data = bytes.data();
    std::size_t start = 0;
    while (start < bytes.size()) {
        const void* nl = std::memchr(data + start, '\n', bytes.size() - start);
        const std::size_t end = nl != nullptr
                                    ? static_cast<std::size_t>(static_cast<const char*>(nl) - data)
                                    : bytes.size();
        const std::size_t next = nl != nullptr ? end + 1 : end;
        const std::size_t length =
            end > start && data[end - 1] == '\r' ? end - 1 - start : end - start;
        lines.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length),
                         static_cast<std::uint32_t>(next)});
        start = next;
    }
    return lines;
}

bool read_input_file(const std::string& path, input_text* out, input_fault* fault) {
    const bool from_stdin = path == "-";
    out->name = from_stdin ? "standard input" : path;
    out->bytes.clear();
    fault->file = out->name;
    fault->line = 0;
    auto too_large = [&] {
        fault->text = "is larger than " + std::to_string(kInputFileMax >> 20) +
                      " MiB; it is not an input file of mastdb";
        return false;
    };
    std::unique_ptr<std::FILE, FileCloser> owned;
    std::FILE* in = stdin;
    std::size_t expected = 0;
    if (!from_stdin) {
        plat::FileStatus st;
        if (plat::FH_stat_file(path.c_str(), &st) != 0) {
            fault->text = std::string("cannot be read: ") + std::strerror(errno);
            return false;
        }
        if (st.is_directory) {
            fault->text = "is a directory, not a file";
            return false;
        }
        if (st.is_regular && st.size > 0) {
            if (static_cast<std::uint64_t>(st.size) > kInputFileMax) return too_large();
            expected = static_cast<std::size_t>(st.size);
        }
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned) {
            fault->text = std::string("cannot be opened: ") + std::strerror(errno);
            return false;
        }
        in = owned.get();
        // The whole file in one read, without stdio's buffer in between.
        std::setvbuf(in, nullptr, _IONBF, 0);
    }
    std::string& bytes = out->bytes;
    // A regular file is read in one piece of its size (and a check that it
    // has not grown); anything else in pieces.
    std::size_t chunk = expected > 0 ? expected + 1 : std::size_t{65536};
    for (;;) {
        const std::size_t have = bytes.size();
        bytes.resize(have + chunk);
        const std::size_t n = std::fread(bytes.data() + have, 1, chunk, in);
        bytes.resize(have + n);
        if (bytes.size() > kInputFileMax) {
            bytes.clear();
            bytes.shrink_to_fit();
            return too_large();
        }
        if (n < chunk) break;
        chunk = std::size_t{65536};
    }
    if (std::ferror(in) != 0) {
        fault->text = std::string("cannot be read: ") + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

int check_text_bytes(const input_text& in, const std::vector<line_span>& lines,
                     std::vector<input_fault>* faults) {
    // Most files hold no control character at all: look for one first.
    const bool any = holds_control_bytes(in.bytes);
    // A carriage return is a control character unless it ends a line.
    const bool bare_cr = [&in] {
        for (std::size_t p = in.bytes.find('\r'); p != std::string::npos;
             p = in.bytes.find('\r', p + 1)) {
            const bool line_end = p + 1 == in.bytes.size() || in.bytes[p + 1] == '\n';
            if (!line_end) return true;
        }
        return false;
    }();
    if (!any && !bare_cr) return 0;
    int bad = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::string_view line(in.bytes.data() + lines[k].offset, lines[k].length);
        const auto it = std::find_if(line.begin(), line.end(), [](char ch) {
            const auto c = static_cast<unsigned char>(ch);
            return (c < 0x20 && c != '\t') || c == 0x7f;
        });
        if (it == line.end()) continue;
        if (++bad <= kByteFaultsShown) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(*it));
            faults->push_back({in.name, static_cast<int>(k + 1),
                               std::string("holds the control character ") + hex + " in column " +
                                   std::to_string(it - line.begin() + 1) +
                                   "; this is not a text file"});
        }
    }
    if (bad > kByteFaultsShown)
        faults->push_back(
            {in.name, 0,
             std::to_string(bad - kByteFaultsShown) + " more lines hold control characters"});
    return bad;
}

// ---- names and patterns -----------------------------------------------------------

std::string upper_text(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool valid_object_name(std::string_view name, std::size_t width, std::string* why) {
    if (name.empty()) {
        *why = "is empty";
        return false;
    }
    if (name.size() > width) {
        *why = quoted(name) + " is longer than " + std::to_string(width) + " characters";
        return false;
    }
    if (std::isalnum(static_cast<unsigned char>(name.front())) == 0) {
        *why = quoted(name) + " does not begin with a letter or a digit";
        return false;
    }
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_' && c != '-') {
            *why = quoted(name) + " holds a character other than letters, digits, _ and -";
            return false;
        }
    }
    return true;
}

bool parse_schedule_id(std::string_view word, const std::string& default_workstation,
                       std::size_t width, std::string* workstation, std::string* name,
                       std::string* why) {
    const std::size_t hash = word.find('#');
    const std::string_view ws = hash == std::string_view::npos
                                    ? std::string_view(default_workstation)
                                    : word.substr(0, hash);
    const std::string_view n = hash == std::string_view::npos ? word : word.substr(hash + 1);
    std::string reason;
    if (!valid_object_name(ws, width, &reason)) {
        *why = "the workstation name " + reason;
        return false;
    }
    if (!valid_object_name(n, width, &reason)) {
        *why = "the schedule name " + reason;
        return false;
    }
    *workstation = upper_text(ws);
    *name = upper_text(n);
    return true;
}

bool parse_schedule_pattern(std::string_view word, std::string* ws_pattern,
                            std::string* name_pattern, std::string* why) {
    // The keyed layer keeps patterns of at most the key length plus 63
    // characters; each part is kept well within that.
    constexpr std::size_t kPartMax = 48;
    const std::size_t hash = word.find('#');
    std::string_view ws =
        hash == std::string_view::npos ? std::string_view("@") : word.substr(0, hash);
    std::string_view n = hash == std::string_view::npos ? word : word.substr(hash + 1);
    if (ws.empty()) ws = "@";
    if (n.empty()) n = "@";
    for (std::string_view part : {ws, n}) {
        if (part.size() > kPartMax) {
            *why =
                "a part of the pattern is longer than " + std::to_string(kPartMax) + " characters";
            return false;
        }
        for (char c : part) {
            const auto u = static_cast<unsigned char>(c);
            if (u <= 0x20 || u == 0x7f || c == DB_PAIR_SEPARATOR) {
                *why = "the pattern holds a blank or a control character";
                return false;
            }
        }
    }
    *ws_pattern = upper_text(ws);
    *name_pattern = upper_text(n);
    return true;
}

// ---- schedule definition files ----------------------------------------------------

namespace {

// Appends the lines of text, each followed by a newline.
void append_lines(std::string_view text, std::string* out) {
    if (text.find('\r') == std::string_view::npos) {
        // Nothing to drop: the text as it is, with a last line feed.
        out->append(text);
        if (!text.empty() && text.back() != '\n') out->push_back('\n');
        return;
    }
    std::size_t pos = 0;
    std::string_view line;
    while (next_input_line(text, &pos, &line)) {
        out->append(line);
        out->push_back('\n');
    }
}

}  // namespace

void schedule_definition::text(std::string* out) const {
    out->clear();
    const std::string_view bytes(source->bytes);
    out->reserve(end - begin + workstation.size() + name.size() + 16);
    append_lines(bytes.substr(begin, head - begin), out);
    if (identity_ok) {
        out->append("SCHEDULE ");
        out->append(workstation);
        out->push_back('#');
        out->append(name);
        if (rest < rest_end) {
            out->push_back(' ');
            out->append(bytes.substr(rest, rest_end - rest));
        }
        out->push_back('\n');
    } else {
        append_lines(bytes.substr(head, body - head), out);
    }
    append_lines(bytes.substr(body, end - body), out);
}

namespace {

// ---- the language check of a definition -------------------------------------------

constexpr int kDefinitionErrorSet = 2209;
// Limits that the OPENS errors name; a fallback only (see error_text).
constexpr std::int32_t kOpensNameMax = 148;
constexpr std::int32_t kOpensBaseMax = 28;

// Rules of the schedule grammar whose actions the check replaces.
enum : int {
    kRuleOnClause = 21,     // on_date : ON on_date_fmt
    kRuleOnFirst = 22,      // on_date_fmt : on_date_f
    kRuleOnNext = 23,       // on_date_fmt : on_date_fmt ',' on_date_f
    kRuleExceptFirst = 31,  // except_date_fmt : except_date_f
    kRuleExceptNext = 32,   // except_date_fmt : except_date_fmt ',' except_date_f
};

// The first definition error of the parse being run.
struct LanguageCheck {
    int shifted_line = 0;  // line of the last token the parser took
    int number = 0;        // 0: none
    int line = 0;          // where it was found
    std::string text;
};

// Whether a definition error is found by checking a value the parser has
// taken (a number, a date, a name, a file name, a count), rather than by the
// grammar's alternatives for text that does not fit, which the parser meets
// at the token it cannot take.
bool is_value_error(int number) {
    // Beyond the parser's own: a job's FOLLOWS count (209) and CARRYFORWARD
    // or LIMIT after IN ORDER (212).
    return is_value_check_error(number) || number == 209 || number == 212;
}

LanguageCheck* g_check = nullptr;

// The parser's error sink during a check: keeps the first error and stops.
bool note_definition_error(int number, const char* text) {
    LanguageCheck* c = g_check;
    if (c != nullptr && c->number == 0) {
        c->number = number;
        // The value lies in a token already taken; the parser may have read
        // the next one, from a later line, before it checked the value.
        c->line = is_value_error(number) && c->shifted_line > 0 ? c->shifted_line
                                                                : schedule_scanner().line_number;
        c->text = text != nullptr ? text : "";
    }
    return true;
}

// The text of a definition error as the parser formats it.
std::string error_text(const LanguageCheck& c) {
    if (!c.text.empty()) return c.text;
    char buf[kFormatBufSize];
    std::int16_t length = 0;
    if (c.number == 54)
        format_msg(buf, &length, kDefinitionErrorSet, c.number, {arg_int(kOpensNameMax)});
    else if (c.number == 56)
        format_msg(buf, &length, kDefinitionErrorSet, c.number, {arg_int(kOpensBaseMax)});
    else
        format_msg(buf, &length, kDefinitionErrorSet, c.number);
    return std::string(buf, static_cast<std::size_t>(std::clamp<int>(length, 0, kFormatBufSize)));
}

// The actions of a check parse: those of the schedule selection, except that
// no date clause element is evaluated (that needs a production date and the
// calendars) and the ON clause never ends the parse, so that the whole
// header is read up to the name of the first job.
action_result check_action(int rule, std::span<const int> symbols, int& value) {
    switch (rule) {
        case kRuleOnClause:
            return action_result::go_on;
        case kRuleOnFirst:
        case kRuleOnNext: {
            sched_eval_state& st = evaluation_state();
            st.element = {};
            st.saved = {};
            return action_result::go_on;
        }
        case kRuleExceptFirst:
        case kRuleExceptNext:
            evaluation_state().element = {};
            return action_result::go_on;
        default:
            return schedule_action(rule, symbols, value);
    }
}

// Puts back what check parses borrow: the parser's evaluation state, its
// scanner, the run's selected-schedule list (the actions enter the schedule
// in it) and the error sink (the tool installs none otherwise). A file's
// definitions are checked under one borrow; a borrow made while another is
// held does nothing.
class ParserBorrow {
  public:
    ParserBorrow() {
        if (depth_++ > 0) return;
        state_ = std::move(evaluation_state());
        scanner_ = std::move(schedule_scanner());
        evaluation_state() = sched_eval_state{};
        schedule_scanner() = scanner{};
        std::swap(list_, run_selected_list());
        set_schedule_error_sink(&note_definition_error);
    }
    ~ParserBorrow() {
        if (--depth_ > 0) return;
        set_schedule_error_sink(nullptr);
        free_selected(run_selected_list());
        std::swap(list_, run_selected_list());
        schedule_scanner() = std::move(scanner_);
        evaluation_state() = std::move(state_);
    }
    ParserBorrow(const ParserBorrow&) = delete;
    ParserBorrow& operator=(const ParserBorrow&) = delete;

  private:
    static inline int depth_ = 0;
    sched_eval_state state_;
    scanner scanner_;
    selected_list list_;
};

// The lines of a definition's text for the scanner, cut as
// split_input_lines cuts them.
class DefinitionInput : public scan_input {
  public:
    DefinitionInput(std::string_view text, const std::string& name) : text_(text), name_(name) {}
    bool next_line(std::string& line) override {
        std::string_view view;
        if (!next_input_line(text_, &pos_, &view)) return false;
        line.assign(view);
        return true;
    }
    const char* name() const override { return name_.c_str(); }

  private:
    std::string_view text_;
    const std::string& name_;
    std::size_t pos_ = 0;
};

void check_language(std::string_view text, std::size_t line_count, const std::string& file,
                    int first_line, bool long_names, std::vector<input_fault>* faults) {
    LanguageCheck check;
    ParserBorrow borrow;
    g_check = &check;

    // Every parse starts from a fresh state, as under a borrow of its own.
    sched_eval_state& st = evaluation_state();
    st = sched_eval_state{};
    st.long_names = long_names;

    DefinitionInput input(text, file);
    scanner& sc = schedule_scanner();
    reset_scanner(sc, &input);
    parser_io io;
    io.next_token = [&sc] { return next_token(sc); };
    io.token_value = [&sc] { return sc.token_value; };
    io.shifted = [&sc, &st, &check](int token) {
        check.shifted_line = sc.line_number;
        st.token_text = sc.token_text;
        if (token == ID) {
            st.token_line = sc.line_text;
            st.token_line_number = sc.line_number;
            st.token_column = sc.column;
        }
    };
    io.action = check_action;
    const int rc = run_parser(io);
    const int end_line = sc.line_number;
    sc.input = nullptr;
    g_check = nullptr;
    free_selected(run_selected_list());

    auto file_line = [&](int scanner_line) {
        const int n = std::clamp(scanner_line, 1, std::max<int>(1, static_cast<int>(line_count)));
        return first_line + n - 1;
    };
    if (check.number != 0)
        faults->push_back({file, file_line(check.line), error_text(check)});
    else if (rc != 0)
        faults->push_back({file, file_line(end_line), "the definition cannot be parsed"});
}

}  // namespace

bool check_definition(std::string_view text, const std::string& file, int first_line,
                      bool long_names, std::vector<input_fault>* faults) {
    const std::size_t before = faults->size();
    enum { kBefore, kBody, kAfter } state = kBefore;
    LineWalker walker;
    std::size_t pos = 0;
    std::size_t count = 0;
    std::string_view line;
    for (; next_input_line(text, &pos, &line); ++count) {
        const int n = first_line + static_cast<int>(count);
        const LineWalker::Step s = walker.next(line);
        if (s.info.kind != LineKind::text) continue;
        switch (state) {
            case kBefore:
                if (s.is_schedule) {
                    state = kBody;
                } else {
                    faults->push_back({file, n, "text before the SCHEDULE line of the definition"});
                }
                break;
            case kBody:
                if (s.is_schedule)
                    faults->push_back({file, n, "a second SCHEDULE line in one definition"});
                else if (s.is_end)
                    state = kAfter;
                break;
            case kAfter:
                faults->push_back({file, n, "text after the END line of the definition"});
                break;
        }
    }
    if (state == kBefore)
        faults->push_back({file, first_line, "the definition has no SCHEDULE line"});
    if (state == kBody) faults->push_back({file, first_line, "the definition has no END line"});
    // The parser would only repeat what the framing found.
    if (faults->size() == before) check_language(text, count, file, first_line, long_names, faults);
    return faults->size() == before;
}

bool split_schedule_file(const input_text& in, const schedule_file_options& options,
                         std::vector<schedule_definition>* defs, std::vector<input_fault>* faults,
                         std::vector<input_fault>* warnings) {
    const std::size_t before = faults->size();
    auto fault = [&](int line, std::string text) {
        faults->push_back({in.name, line, std::move(text)});
    };
    // The parser, for the language check of every definition of the file.
    const ParserBorrow borrow;
    const std::vector<line_span> lines = split_input_lines(in.bytes);
    auto line_at = [&](std::size_t k) {
        return std::string_view(in.bytes.data() + lines[k].offset, lines[k].length);
    };
    check_text_bytes(in, lines, faults);
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].length > kInputLineMax)
            fault(static_cast<int>(k + 1),
                  "the line has " + std::to_string(lines[k].length) +
                      " characters; a line of a definition holds at most " +
                      std::to_string(kInputLineMax));
    }

    // The comment lines (and blank lines among them) waiting for the next
    // SCHEDULE line: always the lines just before it.
    std::size_t preamble_first = 0;
    std::size_t preamble_count = 0;
    bool preamble_fresh = false;  // the walk began the preamble's first line afresh
    schedule_definition cur;
    bool cur_fresh = false;  // ... or the current definition's first line
    bool inside = false;
    bool cur_ok = false;
    int outside_run = -1;  // line of the last text reported outside a definition
    std::size_t found = 0;
    std::string text;  // the definition being checked

    auto start = [&](std::size_t k, bool fresh) {
        const int n = static_cast<int>(k + 1);
        cur = schedule_definition{};
        cur.source = &in;
        cur.schedule_line = n;
        cur.first_line = preamble_count == 0 ? n : static_cast<int>(preamble_first + 1);
        cur.begin = preamble_count == 0 ? lines[k].offset : lines[preamble_first].offset;
        cur.head = lines[k].offset;
        cur.body = lines[k].next;
        cur_fresh = preamble_count == 0 ? fresh : preamble_fresh;
        cur_ok = true;
        for (std::size_t p = preamble_first; p < preamble_first + preamble_count; ++p) {
            // The database takes the first line beginning with the word
            // SCHEDULE for the SCHEDULE line and writes the identity into it.
            if (first_plain_word_is_schedule(line_at(p))) {
                fault(static_cast<int>(p + 1),
                      "a comment line before a definition begins with the word SCHEDULE; it "
                      "would be taken for the SCHEDULE line");
                cur_ok = false;
            }
        }
        preamble_count = 0;
        std::size_t rest = 0;
        std::string why;
        if (schedule_line_identity(line_at(k), options, &cur.workstation, &cur.name, &rest, &why)) {
            cur.identity_ok = true;
            cur.rest = cur.head + static_cast<std::uint32_t>(rest);
            cur.rest_end = cur.head + lines[k].length;
        } else {
            fault(n, why);
            cur_ok = false;
        }
        inside = true;
    };

    auto finish = [&](std::size_t k) {
        inside = false;
        ++found;
        cur.end = lines[k].next;
        cur.text(&text);
        const bool long_names = options.name_width > DB_SHORT_NAME;
        // A definition whose first line began afresh was framed here just as
        // check_definition frames it: only the language is left to check.
        if (cur_fresh) {
            const std::size_t before_check = faults->size();
            check_language(text, k + 2 - static_cast<std::size_t>(cur.first_line), in.name,
                           cur.first_line, long_names, faults);
            if (faults->size() != before_check) cur_ok = false;
        } else if (!check_definition(text, in.name, cur.first_line, long_names, faults)) {
            cur_ok = false;
        }
        // A line of n characters is stored in at most 1 + n / 126 pieces:
        // only a definition that may be over the limit is counted piece by
        // piece.
        std::size_t stored = k + 2 - static_cast<std::size_t>(cur.first_line) +
                             text.size() / (DB_CONTINUED_LENGTH - 1);
        if (stored > kStoredLinesMax) {
            stored = 0;
            std::size_t pos = 0;
            std::string_view line;
            while (next_input_line(text, &pos, &line))
                stored += stored_pieces(line);
        }
        if (stored > kStoredLinesMax) {
            fault(cur.schedule_line, "the definition needs " + std::to_string(stored) +
                                         " stored lines; a schedule holds at most " +
                                         std::to_string(kStoredLinesMax));
            cur_ok = false;
        }
        if (cur_ok) defs->push_back(std::move(cur));
    };

    LineWalker walker;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const int n = static_cast<int>(k + 1);
        const bool fresh = walker.fresh();
        const LineWalker::Step s = walker.next(line_at(k));
        if (!inside) {
            if (s.is_schedule) {
                start(k, fresh);
            } else if (s.info.kind == LineKind::comment ||
                       (s.info.kind == LineKind::blank && preamble_count > 0)) {
                if (preamble_count == 0) {
                    preamble_first = k;
                    preamble_fresh = fresh;
                }
                ++preamble_count;
            } else if (s.info.kind != LineKind::blank) {
                if (outside_run != n - 1)
                    fault(n, s.is_end ? "END without a SCHEDULE line before it"
                                      : "text outside a schedule definition (a definition "
                                        "begins with a line whose first word is SCHEDULE)");
                outside_run = n;
                preamble_count = 0;
            }
            continue;
        }
        if (s.is_schedule) {
            fault(n, "SCHEDULE before the END of the schedule begun at line " +
                         std::to_string(cur.schedule_line));
            ++found;
            start(k, fresh);
            continue;
        }
        if (s.is_end) finish(k);
    }
    if (inside) {
        ++found;
        fault(cur.schedule_line, "the schedule begun here has no END line");
    }
    while (preamble_count > 0 &&
           line_at(preamble_first + preamble_count - 1).find_first_not_of(" \t") ==
               std::string_view::npos)
        --preamble_count;
    if (preamble_count > 0 && warnings != nullptr) {
        const int first = static_cast<int>(preamble_first + 1);
        const int last = static_cast<int>(preamble_first + preamble_count);
        warnings->push_back({in.name, first,
                             first == last ? "this line follows the last END and belongs to no "
                                             "schedule; it is not stored"
                                           : "lines " + std::to_string(first) + " to " +
                                                 std::to_string(last) +
                                                 " follow the last END and belong to no "
                                                 "schedule; they are not stored"});
    }
    if (found == 0 && faults->size() == before) fault(0, "holds no schedule definition");
    return faults->size() == before;
}

// ---- calendar files ---------------------------------------------------------------

const char* date_order_text(int date_format) {
    if (date_format == 3) date_format = analyse_date_format("%y/%m/%d");
    switch (date_format) {
        case 1:
            return "month/day/year";
        case 2:
            return "day/month/year";
        default:
            return "year/month/day";
    }
}

bool parse_calendar_date(std::string_view word, int date_format, time_value* out,
                         std::string* why) {
    const std::string text(word);
    time_value t = 0;
    long year = 0;
    if (parse_date(text.c_str(), &t, date_format) == 0 || !written_year(word, date_format, &year)) {
        *why = quoted(word) + " is not a date (dates are written " + date_order_text(date_format) +
               ", or yyyymmdd)";
        return false;
    }
    // Dates are kept as 32-bit time values: a year that does not survive the
    // conversion cannot be stored.
    const bool fits =
        year <= 9999 && expand_year(static_cast<std::int16_t>(year)) == time_to_ymd8(t) / 10000;
    if (!fits || t == 0 || t == 32768 || t == -32768) {
        *why = quoted(word) + " is outside the dates the database can hold (1902 to 2037)";
        return false;
    }
    *out = t;
    return true;
}

std::string calendar_date_text(time_value date, int date_format) {
    std::tm tm{};
    time_at_hhmm(date, 0, &tm);
    const int y = tm.tm_year + 1900;
    const int m = tm.tm_mon + 1;
    const int d = tm.tm_mday;
    if (date_format == 3) date_format = analyse_date_format("%y/%m/%d");
    char buf[48];
    if (date_format == 1)
        std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", m, d, y);
    else if (date_format == 2)
        std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d, m, y);
    else
        std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", y, m, d);
    return buf;
}

void sort_dates(std::vector<time_value>* dates) {
    std::sort(dates->begin(), dates->end());
    dates->erase(std::unique(dates->begin(), dates->end()), dates->end());
}

bool parse_calendar_file(const input_text& in, int date_format,
                         std::vector<calendar_definition>* cals, std::vector<input_fault>* faults) {
    const std::size_t before = faults->size();
    auto fault = [&](int line, std::string text) {
        faults->push_back({in.name, line, std::move(text)});
    };
    const std::vector<line_span> lines = split_input_lines(in.bytes);
    check_text_bytes(in, lines, faults);
    std::vector<calendar_definition> found;
    bool current = false;  // a calendar has been started

    auto add_dates = [&](std::string_view line, std::size_t i, int n) {
        while (i < line.size()) {
            while (i < line.size() && is_blank(line[i]))
                ++i;
            if (i >= line.size() || line[i] == '#' || line[i] == '*') break;
            std::size_t j = i;
            while (j < line.size() && !is_blank(line[j]))
                ++j;
            const std::string_view word = line.substr(i, j - i);
            time_value t = 0;
            std::string why;
            if (!parse_calendar_date(word, date_format, &t, &why)) {
                fault(n, why);
            } else if (current) {
                found.back().dates.push_back(t);
            }
            i = j;
        }
    };

    for (std::size_t k = 0; k < lines.size(); ++k) {
        const int n = static_cast<int>(k + 1);
        const std::string_view line(in.bytes.data() + lines[k].offset, lines[k].length);
        std::size_t i = 0;
        while (i < line.size() && is_blank(line[i]))
            ++i;
        if (i >= line.size() || line[i] == '#' || line[i] == '*') continue;
        if (is_alpha(line[i])) {
            std::size_t j = i;
            while (j < line.size() && !is_blank(line[j]) && line[j] != '"')
                ++j;
            calendar_definition cal;
            cal.file = in.name;
            cal.line = n;
            const std::string_view name = std::string_view(line).substr(i, j - i);
            std::string why;
            if (!valid_object_name(name, DB_CALENDAR_NAME, &why))
                fault(n, "the calendar name " + why);
            cal.name = upper_text(name);
            for (const calendar_definition& other : found) {
                if (other.name == cal.name) {
                    fault(n, "calendar " + cal.name + " is given twice (first at line " +
                                 std::to_string(other.line) + ")");
                    break;
                }
            }
            i = j;
            while (i < line.size() && is_blank(line[i]))
                ++i;
            if (i < line.size() && line[i] == '"') {
                const std::size_t close = line.find('"', i + 1);
                if (close == std::string::npos) {
                    fault(n, "the description has no closing double quote");
                    i = line.size();
                } else {
                    cal.description = line.substr(i + 1, close - i - 1);
                    if (cal.description.size() > DB_CALENDAR_DESC) {
                        fault(n, "the description is longer than " +
                                     std::to_string(DB_CALENDAR_DESC) + " characters");
                    }
                    i = close + 1;
                }
            }
            found.push_back(std::move(cal));
            current = true;
            add_dates(line, i, n);
        } else if (is_digit(line[i])) {
            if (!current) {
                fault(n, "dates before the first calendar name");
            }
            add_dates(line, i, n);
        } else {
            fault(n, std::string("a line begins with a calendar name or with a date, not with "
                                 "the character ") +
                         line[i]);
        }
    }
    if (found.empty() && faults->size() == before) fault(0, "holds no calendar");
    if (faults->size() != before) return false;
    for (calendar_definition& cal : found) {
        sort_dates(&cal.dates);
        cals->push_back(std::move(cal));
    }
    return true;
}
