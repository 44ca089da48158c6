// kfutil: the administrator's keyed-file utility.
#include "tools/kfutil/kfutil.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "btree/btree.h"
#include "platform/fileio.h"
#include "utils/libs/isamacc.h"
#include "utils/libs/isamcheck.h"

namespace {

// Longer than any record (record lengths are at most 7FFF) and any index key.
constexpr std::size_t kRecordBuffer = 0x8000;
constexpr int kKeyBuffer = 1024;

constexpr const char kShortUsage[] =
    "usage: kfutil create|dump|check|rebuild|zap|batch PATH ...; \"kfutil help\" explains\n";

constexpr const char kHelp[] =
    R"(kfutil: the keyed-file utility.

  kfutil create PATH IDENT FORMAT SLOTS
      Creates the keyed data file PATH and its index PATH.KEY. IDENT is the
      identity name (at most 16 characters), FORMAT the format value (decimal,
      or hexadecimal after 0x), SLOTS the record layouts: the masters' first,
      then one per detail kind (at most 2), each written RECLEN,KEYOFF,KEYLEN
      and separated by colons, for example 82,0,16:182,16,6.
  kfutil dump PATH
      Shows the header, every record line with its position, type and
      pointers, and the index keys in key order with their positions.
  kfutil check PATH
      Checks the data file and its index: header, record lines, detail
      chains, index keys against the live master records, index pages,
      sibling links and free list. Prints one line per fault and exits 1, or
      one summary line and exits 0 when the file is sound.
  kfutil rebuild PATH
      Rewrites the file without its deleted records and rebuilds the index.
  kfutil zap PATH
      Empties the file and its index.
  kfutil batch PATH
      Runs operations read from standard input, one per line, and prints one
      result line for each: "ok", "ok" with a value, "notfound", "end",
      "begin", or "err CODE TEXT" ("err usage TEXT" for a line that cannot be
      understood). Exits 1 when any operation failed.
  kfutil help
      Shows this text.

Batch operations (SLOT: 0 masters, 1 and 2 detail kinds):
  read SLOT MODE [KEY]        isam_read; prints ok "RECORD"
  add SLOT RECORD             appends a record (padded with blanks)
  replace SLOT RECORD         rewrites the current record of the slot
  delete SLOT                 deletes the current record of the slot
  lock [exclusive]            takes the update lock
  unlock                      releases it
  where SLOT                  position of the current record of the slot
  format                      the header's format value
  zap, rebuild                empty or rebuild the open file
  bt-find KEY                 ok VALUE, or notfound
  bt-insert KEY VALUE [replace]
  bt-delete KEY               ok, or notfound
  bt-first, bt-last           ok "KEY" VALUE from either end, or end/begin
  bt-next, bt-prev            ok "KEY" VALUE from the current position
  bt-goto first|last, bt-sync, bt-refresh, bt-zap
Words are separated by blanks; a word may be written in double quotes to hold
blanks. Inside and outside quotes \xHH is the byte HH, \\ a backslash and \"
a quote; records and keys are printed in the same form. A key read from a
line ends at its first \x00 byte. Lines beginning with # are ignored. An
update (add, replace, delete, bt-insert, bt-delete, bt-zap) outside a
lock/unlock pair takes the update lock for itself, reading the records it
works on again under the lock first.
)";

struct Streams {
    std::FILE* in;
    std::FILE* out;
    std::FILE* err;
};

int usage_error(const Streams& s, const std::string& why) {
    std::fprintf(s.err, "kfutil: %s\n%s", why.c_str(), kShortUsage);
    return KFUTIL_USAGE;
}

// A text made into one line: newlines become blanks, trailing blanks go.
std::string one_line(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string layer_text(const isam_handle* h) {
    std::string text;
    isam_error_text(h, &text);
    return one_line(text);
}

std::string quoted(const std::string& bytes) {
    return "\"" + isam_escape(bytes) + "\"";
}

// A decimal number (with an optional sign) or a hexadecimal one after 0x,
// within [lo, hi].
std::optional<long long> parse_number(std::string_view s, long long lo, long long hi) {
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 12) return std::nullopt;
    long long v = 0;
    for (const char c : s) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) return std::nullopt;
        v = v * base + d;
    }
    if (negative) v = -v;
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    for (;;) {
        const std::size_t at = s.find(sep);
        parts.emplace_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

// Parses "RECLEN,KEYOFF,KEYLEN:..." into the description; why on failure.
bool parse_slots(std::string_view text, isam_file_desc* desc, std::string* why) {
    const std::vector<std::string> groups = split(text, ':');
    if (groups.size() > static_cast<std::size_t>(ISAM_NSLOTS)) {
        *why = "at most " + std::to_string(ISAM_NSLOTS) + " slot layouts can be given";
        return false;
    }
    desc->kinds = static_cast<int>(groups.size()) - 1;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const std::vector<std::string> f = split(groups[i], ',');
        std::optional<long long> v[3];
        if (f.size() == 3) {
            for (int j = 0; j < 3; ++j)
                v[j] = parse_number(f[static_cast<std::size_t>(j)], 0, 0x7fff);
        }
        if (f.size() != 3 || !v[0] || !v[1] || !v[2]) {
            *why = "slot layout \"" + groups[i] + "\" is not RECLEN,KEYOFF,KEYLEN (0 to 32767)";
            return false;
        }
        isam_slot_desc& d = desc->slots[i];
        d.record_length = static_cast<std::int16_t>(*v[0]);
        d.key_offset = static_cast<std::int16_t>(*v[1]);
        d.key_length = static_cast<std::int16_t>(*v[2]);
        const std::string slot = "slot " + std::to_string(i) + ": ";
        if (d.record_length < 1) {
            *why = slot + "the record length must be positive";
            return false;
        }
        if (d.key_offset + d.key_length > d.record_length) {
            *why = slot + "the key lies outside the record";
            return false;
        }
        if (i == 0 && (d.key_length < 1 || d.key_length > BT_MAX_KEY)) {
            *why = slot + "the master key length must be 1 to " + std::to_string(BT_MAX_KEY);
            return false;
        }
        if (i > 0 && desc->slots[0].key_offset + desc->slots[0].key_length > d.record_length) {
            *why = slot + "the record cannot hold the master key";
            return false;
        }
    }
    return true;
}

int close_handle(isam_ptr* h, const Streams& s) {
    std::string msg;
    if (isam_close(h, &msg) != 0) {
        std::fprintf(s.err, "kfutil: %s\n", one_line(msg).c_str());
        return KFUTIL_FAILED;
    }
    return KFUTIL_OK;
}

// Opens an existing file with its own layout; reports the failure.
bool open_file(isam_ptr* h, const std::string& path, int access, const Streams& s) {
    std::string msg;
    if (isam_open(h, path.c_str(), nullptr, access, ISAM_OPEN_EXISTING, &msg) != 0) {
        std::fprintf(s.err, "kfutil: %s\n", one_line(msg).c_str());
        return false;
    }
    return true;
}

// Opens a file for an operation that rewrites its index anyway: an index that
// cannot be opened is first replaced by a new, empty one.
bool open_for_reset(isam_ptr* h, const std::string& path, const Streams& s) {
    std::string msg;
    const std::int16_t code =
        isam_open(h, path.c_str(), nullptr, ISAM_ACCESS_SHARED, ISAM_OPEN_EXISTING, &msg);
    if (code == 0) return true;
    if (code != ISAM_E_INDEX_OPEN) {
        std::fprintf(s.err, "kfutil: %s\n", one_line(msg).c_str());
        return false;
    }
    std::fprintf(s.err, "kfutil: %s\nkfutil: %s gets a new, empty index first\n",
                 one_line(msg).c_str(), path.c_str());
    if (!open_file(h, path, ISAM_ACCESS_REINDEX, s)) return false;
    if (close_handle(h, s) != KFUTIL_OK) return false;
    return open_file(h, path, ISAM_ACCESS_SHARED, s);
}

// ---- create, dump, check, rebuild, zap --------------------------------------

int cmd_create(const std::vector<std::string>& args, const Streams& s) {
    if (args.size() != 5) return usage_error(s, "create takes PATH IDENT FORMAT SLOTS");
    const std::string& path = args[1];
    isam_file_desc desc;
    desc.name = args[2];
    if (desc.name.empty() || desc.name.size() > static_cast<std::size_t>(ISAM_NAME_SIZE))
        return usage_error(s, "the identity name must have 1 to 16 characters");
    for (const char c : desc.name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return usage_error(s, "the identity name holds a control character");
    }
    const std::optional<long long> format = parse_number(args[3], 0, 0xffff);
    if (!format) return usage_error(s, "the format value must be 0 to 65535 (0xFFFF)");
    desc.format = static_cast<int>(*format);
    std::string why;
    if (!parse_slots(args[4], &desc, &why)) return usage_error(s, why);

    plat::FileStatus st;
    if (plat::FH_stat_file(path.c_str(), &st) == 0) {
        std::fprintf(s.err, "kfutil: %s exists already\n", path.c_str());
        return KFUTIL_FAILED;
    }
    isam_ptr h;
    std::string msg;
    if (isam_open(&h, path.c_str(), &desc, ISAM_ACCESS_SHARED, ISAM_OPEN_CREATE, &msg) != 0) {
        std::fprintf(s.err, "kfutil: %s\n", one_line(msg).c_str());
        return KFUTIL_FAILED;
    }
    return close_handle(&h, s);
}

int cmd_dump(const std::vector<std::string>& args, const Streams& s) {
    if (args.size() != 2) return usage_error(s, "dump takes PATH");
    const std::string& path = args[1];
    const auto report = [&](const std::string& line) {
        std::fprintf(s.err, "kfutil: %s: %s\n", path.c_str(), line.c_str());
    };
    isam_file_layout lay;
    std::vector<isam_line> lines;
    std::int64_t size = 0;
    if (isam_scan_file(path.c_str(), true, &lay, &lines, report, &size) < 0) return KFUTIL_FAILED;

    std::fprintf(s.out, "file %s: %lld bytes\n", path.c_str(), static_cast<long long>(size));
    std::fprintf(s.out, "header: version %s, format %04X, name %s, %d detail kinds\n",
                 isam_escape(lay.version).c_str(), static_cast<unsigned>(lay.format),
                 quoted(lay.name).c_str(), lay.kinds);
    for (int i = 0; i <= lay.kinds; ++i) {
        const isam_slot_desc& d = lay.slots[static_cast<std::size_t>(i)];
        std::fprintf(s.out, "slot %d: record length %d, key offset %d, key length %d\n", i,
                     d.record_length, d.key_offset, d.key_length);
    }
    for (const isam_line& ln : lines) {
        std::string text = isam_hex8(ln.pos) + " ";
        if (ln.kind >= 0) {
            text += ln.header.substr(0, 2);
            for (int f = 0; f < lay.kinds; ++f)
                text += " " + isam_escape(ln.header.substr(
                                  static_cast<std::size_t>(2 + ISAM_POINTER_SIZE * f),
                                  ISAM_POINTER_SIZE));
        } else if (ln.kind == ISAM_LINE_DELETED) {
            text += "deleted";
        } else {
            text += "broken " + quoted(ln.header);
        }
        std::fprintf(s.out, "%s %s\n", text.c_str(), quoted(ln.data).c_str());
    }
    std::vector<isam_index_entry> entries;
    std::int32_t depth = 0;
    const std::string index = path + ".KEY";
    const int irc = isam_index_entries(index.c_str(), &entries, report, &depth);
    std::fprintf(s.out, "index: depth %d, %zu keys\n", static_cast<int>(depth), entries.size());
    for (const isam_index_entry& e : entries)
        std::fprintf(s.out, "%s %s\n", quoted(e.key).c_str(),
                     isam_hex8(static_cast<std::uint32_t>(e.value)).c_str());
    return irc < 0 ? KFUTIL_FAILED : KFUTIL_OK;
}

int cmd_check(const std::vector<std::string>& args, const Streams& s) {
    if (args.size() != 2) return usage_error(s, "check takes PATH");
    const std::string& path = args[1];
    isam_check_summary sum;
    const int faults = isam_check(
        path.c_str(), [&](const std::string& line) { std::fprintf(s.out, "%s\n", line.c_str()); },
        &sum);
    if (faults != 0) return KFUTIL_FAILED;
    long long details = 0;
    for (const std::int64_t d : sum.details)
        details += d;
    std::fprintf(s.out,
                 "%s: sound: %lld masters, %lld details, %lld deleted records; index of depth "
                 "%d with %lld keys\n",
                 path.c_str(), static_cast<long long>(sum.masters), details,
                 static_cast<long long>(sum.deleted), static_cast<int>(sum.index_depth),
                 static_cast<long long>(sum.index_keys));
    return KFUTIL_OK;
}

int cmd_reset(const std::vector<std::string>& args, const Streams& s, bool rebuild) {
    if (args.size() != 2) return usage_error(s, args[0] + " takes PATH");
    isam_ptr h;
    if (!open_for_reset(&h, args[1], s)) return KFUTIL_FAILED;
    std::fflush(s.out);  // the rebuild reports discarded lines on standard output
    const std::int16_t code = rebuild ? isam_rebuild(h.get()) : isam_zap(h.get());
    if (code != 0) {
        std::fprintf(s.err, "kfutil: %s\n", layer_text(h.get()).c_str());
        close_handle(&h, s);
        return KFUTIL_FAILED;
    }
    return close_handle(&h, s);
}

// ---- batch ------------------------------------------------------------------

// Splits a batch line into words; false with *why on a syntax error.
bool split_words(std::string_view line, std::vector<std::string>* words, std::string* why) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const auto hexval = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            ++i;
            continue;
        }
        const bool quoted_word = line[i] == '"';
        if (quoted_word) ++i;
        std::string w;
        bool closed = !quoted_word;
        while (i < line.size()) {
            const char c = line[i];
            if (quoted_word && c == '"') {
                closed = true;
                ++i;
                break;
            }
            if (!quoted_word && blank(c)) break;
            if (!quoted_word && c == '"') {
                *why = "a quote inside a word must be written \\\"";
                return false;
            }
            if (c != '\\') {
                w += c;
                ++i;
                continue;
            }
            if (i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
                w += line[i + 1];
                i += 2;
            } else if (i + 3 < line.size() && line[i + 1] == 'x' && hexval(line[i + 2]) >= 0 &&
                       hexval(line[i + 3]) >= 0) {
                w += static_cast<char>(hexval(line[i + 2]) * 16 + hexval(line[i + 3]));
                i += 4;
            } else {
                *why = "unknown escape at column " + std::to_string(i + 1) +
                       " (use \\xHH, \\\\ or \\\")";
                return false;
            }
        }
        if (!closed) {
            *why = "a quoted word is not closed";
            return false;
        }
        if (quoted_word && i < line.size() && !blank(line[i])) {
            *why = "a quoted word must be followed by a blank";
            return false;
        }
        words->push_back(std::move(w));
    }
    return true;
}

class Batch {
  public:
    Batch(isam_handle* h, const Streams& s)
        : h_(h), s_(s), buf_(kRecordBuffer, '\0'), scratch_(kRecordBuffer, '\0') {}

    void line(std::string_view text);
    bool failed() const { return failed_; }

  private:
    using Words = std::vector<std::string>;
    // Operations return their result line.
    using Op = std::function<std::string()>;

    void print(const std::string& result) {
        if (result.rfind("err", 0) == 0) failed_ = true;
        std::fprintf(s_.out, "%s\n", result.c_str());
        std::fflush(s_.out);
    }
    bool locked() const { return (h_->flags & ISAM_FL_LOCKED) != 0; }
    std::string layer(std::int16_t code, const std::string& ok = "") const {
        if (code != 0) return "err " + std::to_string(code) + " " + layer_text(h_);
        return ok.empty() ? "ok" : "ok " + ok;
    }
    std::string tree_error() const {
        const btree_handle* ix = h_->index.get();
        return "err " + std::to_string(ix->error) + " " + one_line(bterror_text(ix));
    }
    std::string record_text(int slot) const {
        const int len = isam_record_length(h_, slot);
        return quoted(std::string(buf_.data(), len > 0 ? static_cast<std::size_t>(len) : 0));
    }
    // Fills the record buffer with the record padded with blanks; false when
    // it is longer than the slot's records.
    bool fill_record(int slot, const std::string& rec);
    std::optional<std::string> reread(int slot);
    std::string update(int reread_slot, const Op& op);
    std::string refreshed(const Op& op);
    std::string traverse(int direction);

    std::string do_read(const Words& w);
    std::string do_record_update(const Words& w);
    std::string do_tree(const Words& w);

    isam_handle* h_;
    Streams s_;
    std::vector<char> buf_;      // the record of the current operation
    std::vector<char> scratch_;  // records read again under a lock just taken
    bool failed_ = false;
};

bool Batch::fill_record(int slot, const std::string& rec) {
    const int len = isam_record_length(h_, slot);
    const std::size_t limit = len > 0 ? static_cast<std::size_t>(len) : kRecordBuffer;
    if (rec.size() > limit) return false;
    std::fill(buf_.begin(), buf_.end(), ' ');
    std::copy(rec.begin(), rec.end(), buf_.begin());
    return true;
}

// Reads the slot's records again under a lock just taken: the current master
// and, for a detail slot, its current detail, found again by its position.
// Returns the failure line, if any.
std::optional<std::string> Batch::reread(int slot) {
    if (slot < 0 || slot > h_->kinds || h_->slots[0].current == 0) return std::nullopt;
    const std::int64_t detail = slot > 0 ? h_->slots[static_cast<std::size_t>(slot)].current : 0;
    std::int16_t code = isam_read(h_, scratch_.data(), ISAM_READ_CURRENT, nullptr, 0);
    if (code != 0) return layer(code);
    if (detail == 0) return std::nullopt;
    // A chain is not longer than the file has records; a corrupt one may loop.
    plat::FileStatus st;
    std::int64_t bound = 1;
    if (plat::FH_fstat_file(h_->fd, &st) == 0) bound += st.size / 3;
    for (std::int64_t i = 0; i < bound; ++i) {
        code = isam_read(h_, scratch_.data(), ISAM_READ_NEXT, nullptr, slot);
        if (code != 0) return layer(code);
        if (h_->slots[static_cast<std::size_t>(slot)].current == detail) return std::nullopt;
    }
    return "err usage the current detail record is no longer in its chain";
}

std::string Batch::update(int reread_slot, const Op& op) {
    if (locked()) return op();
    std::int16_t code = isam_lock(h_, ISAM_LOCK_UPDATE);
    if (code != 0) return layer(code);
    std::optional<std::string> failure = reread(reread_slot);
    const std::string result = failure ? *failure : op();
    code = isam_unlock(h_);
    if (code != 0 && result.rfind("err", 0) != 0) return layer(code);
    return result;
}

// Index reads that start afresh trust the cached pages only after a refresh
// when no update lock holds the file still.
std::string Batch::refreshed(const Op& op) {
    if (!locked() && btree_refresh(h_->index.get()) != 0)
        return "err " + std::to_string(BTE_REFRESH) + " refresh was called with dirty buffers";
    return op();
}

std::string Batch::traverse(int direction) {
    char key[kKeyBuffer];
    int len = 0;
    std::int32_t value = 0;
    const int rc = btravrs(h_->index.get(), direction, key, sizeof key, &len, &value);
    if (rc == BT_OK)
        return "ok " + quoted(std::string(key, static_cast<std::size_t>(len))) + " " +
               std::to_string(value);
    if (rc == BT_END) return "end";
    if (rc == BT_BEGIN) return "begin";
    return tree_error();
}

std::string Batch::do_read(const Words& w) {
    if (w.size() < 3 || w.size() > 4) return "err usage read takes SLOT MODE [KEY]";
    const auto slot = parse_number(w[1], -99, 99);
    const auto mode = parse_number(w[2], -99, 99);
    if (!slot || !mode) return "err usage read takes SLOT MODE [KEY] with numbers";
    std::fill(buf_.begin(), buf_.end(), '\0');
    const char* key = w.size() == 4 ? w[3].c_str() : nullptr;
    const std::int16_t code =
        isam_read(h_, buf_.data(), static_cast<int>(*mode), key, static_cast<int>(*slot));
    return code != 0 ? layer(code) : "ok " + record_text(static_cast<int>(*slot));
}

std::string Batch::do_record_update(const Words& w) {
    const std::string& op = w[0];
    const bool with_record = op != "delete";
    if (w.size() != (with_record ? 3u : 2u))
        return "err usage " + op + (with_record ? " takes SLOT RECORD" : " takes SLOT");
    const auto slot_arg = parse_number(w[1], -99, 99);
    if (!slot_arg) return "err usage the slot must be a number";
    const int slot = static_cast<int>(*slot_arg);
    if (with_record && !fill_record(slot, w[2]))
        return "err usage the record is longer than " +
               std::to_string(isam_record_length(h_, slot)) + " bytes";
    // A new master needs nothing read; a new detail goes after the current one
    // of its master's chain; a replace or delete works on the current record.
    const int reread_slot = op == "add" && slot == 0 ? -1 : slot;
    return update(reread_slot, [&]() -> std::string {
        if (op == "add") return layer(isam_add(h_, buf_.data(), slot));
        if (op == "replace") return layer(isam_replace(h_, buf_.data(), slot));
        return layer(isam_delete(h_, slot));
    });
}

std::string Batch::do_tree(const Words& w) {
    btree_handle* ix = h_->index.get();
    if (ix == nullptr) return "err usage the index is not open";
    const std::string& op = w[0];
    const auto key_of = [](const std::string& k) { return static_cast<int>(k.size()); };
    if (op == "bt-find") {
        if (w.size() != 2) return "err usage bt-find takes KEY";
        return refreshed([&]() -> std::string {
            std::int32_t value = 0;
            const int rc = btfind(ix, w[1].data(), key_of(w[1]), &value);
            if (rc == BT_OK) return "ok " + std::to_string(value);
            return rc == BT_NOT_FOUND ? "notfound" : tree_error();
        });
    }
    if (op == "bt-insert") {
        if (w.size() < 3 || w.size() > 4 || (w.size() == 4 && w[3] != "replace"))
            return "err usage bt-insert takes KEY VALUE [replace]";
        const auto value = parse_number(w[2], INT32_MIN, INT32_MAX);
        if (!value) return "err usage the value must be a 32-bit number";
        return update(-1, [&]() -> std::string {
            const int rc = btinsert(ix, w[1].data(), key_of(w[1]),
                                    static_cast<std::int32_t>(*value), w.size() == 4 ? 1 : 0);
            return rc == BT_OK ? "ok" : tree_error();
        });
    }
    if (op == "bt-delete") {
        if (w.size() != 2) return "err usage bt-delete takes KEY";
        return update(-1, [&]() -> std::string {
            const int rc = btdelete(ix, w[1].data(), key_of(w[1]));
            if (rc == BT_OK) return "ok";
            return rc == BT_NOT_FOUND ? "notfound" : tree_error();
        });
    }
    if (w.size() > 2 || (w.size() == 2 && op != "bt-goto"))
        return "err usage " + op + " takes no words";
    if (op == "bt-first" || op == "bt-last") {
        const bool first = op == "bt-first";
        return refreshed([&]() -> std::string {
            if (btgoto(ix, first ? BT_PREVIOUS : BT_NEXT) != BT_OK) return tree_error();
            return traverse(first ? BT_NEXT : BT_PREVIOUS);
        });
    }
    if (op == "bt-next") return traverse(BT_NEXT);
    if (op == "bt-prev") return traverse(BT_PREVIOUS);
    if (op == "bt-goto") {
        if (w.size() != 2 || (w[1] != "first" && w[1] != "last"))
            return "err usage bt-goto takes first or last";
        return refreshed([&]() -> std::string {
            return btgoto(ix, w[1] == "last" ? BT_NEXT : BT_PREVIOUS) == BT_OK ? "ok"
                                                                               : tree_error();
        });
    }
    if (op == "bt-sync") return btree_sync(ix) == 0 ? "ok" : tree_error();
    if (op == "bt-refresh")
        return btree_refresh(ix) == 0 ? "ok"
                                      : "err " + std::to_string(BTE_REFRESH) +
                                            " refresh was called with dirty buffers";
    if (op == "bt-zap")
        return update(-1,
                      [&]() -> std::string { return btzap(ix) == BT_OK ? "ok" : tree_error(); });
    return "err usage unknown operation " + quoted(op);
}

void Batch::line(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos || text[first] == '#') return;
    Words w;
    std::string why;
    if (!split_words(text, &w, &why)) {
        print("err usage " + why);
        return;
    }
    const std::string& op = w[0];
    if (op == "read") {
        print(do_read(w));
    } else if (op == "add" || op == "replace" || op == "delete") {
        print(do_record_update(w));
    } else if (op == "lock") {
        if (w.size() > 2 || (w.size() == 2 && w[1] != "exclusive"))
            print("err usage lock takes nothing or exclusive");
        else
            print(layer(isam_lock(h_, w.size() == 2 ? ISAM_LOCK_EXCLUSIVE : ISAM_LOCK_UPDATE)));
    } else if (op == "unlock" || op == "zap" || op == "rebuild" || op == "format") {
        if (w.size() != 1) {
            print("err usage " + op + " takes no words");
        } else if (op == "unlock") {
            print(layer(isam_unlock(h_)));
        } else if (op == "zap") {
            print(layer(isam_zap(h_)));
        } else if (op == "rebuild") {
            std::fflush(s_.out);  // the rebuild reports discarded lines on standard output
            print(layer(isam_rebuild(h_)));
        } else {
            print("ok " + std::to_string(isam_format(h_)));
        }
    } else if (op == "where") {
        const auto slot = w.size() == 2 ? parse_number(w[1], 0, h_->kinds) : std::nullopt;
        if (!slot)
            print("err usage where takes a slot from 0 to " + std::to_string(h_->kinds));
        else
            print("ok " + isam_hex8(h_->slots[static_cast<std::size_t>(*slot)].current));
    } else if (op.rfind("bt-", 0) == 0) {
        print(do_tree(w));
    } else {
        print("err usage unknown operation " + quoted(op));
    }
}

// Reads one line of any length without its newline; false at the end.
bool read_line(std::FILE* in, std::string* line) {
    line->clear();
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n')
        line->push_back(static_cast<char>(c));
    if (c == EOF && line->empty()) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

int cmd_batch(const std::vector<std::string>& args, const Streams& s) {
    if (args.size() != 2) return usage_error(s, "batch takes PATH");
    isam_ptr h;
    if (!open_file(&h, args[1], ISAM_ACCESS_SHARED, s)) return KFUTIL_FAILED;
    Batch batch(h.get(), s);
    std::string text;
    while (read_line(s.in, &text))
        batch.line(text);
    int status = batch.failed() ? KFUTIL_FAILED : KFUTIL_OK;
    if ((h->flags & ISAM_FL_LOCKED) != 0 && (h->flags & ISAM_FL_EXCLUSIVE) == 0 &&
        isam_unlock(h.get()) != 0) {
        std::fprintf(s.err, "kfutil: %s\n", layer_text(h.get()).c_str());
        status = KFUTIL_FAILED;
    }
    if (close_handle(&h, s) != KFUTIL_OK) status = KFUTIL_FAILED;
    return status;
}

}  // namespace

int kfutil_run(const std::vector<std::string>& args, std::FILE* in, std::FILE* out,
               std::FILE* err) {
    const Streams s{in, out, err};
    if (args.empty()) return usage_error(s, "no command given");
    const std::string& cmd = args[0];
    if (cmd == "help" || cmd == "-h" || cmd == "--help") {
        std::fputs(kHelp, out);
        return KFUTIL_OK;
    }
    if (cmd == "create") return cmd_create(args, s);
    if (cmd == "dump") return cmd_dump(args, s);
    if (cmd == "check") return cmd_check(args, s);
    if (cmd == "rebuild") return cmd_reset(args, s, true);
    if (cmd == "zap") return cmd_reset(args, s, false);
    if (cmd == "batch") return cmd_batch(args, s);
    return usage_error(s, "unknown command \"" + cmd + "\"");
}

int kfutil_main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i] != nullptr ? argv[i] : "");
    const int status = kfutil_run(args, stdin, stdout, stderr);
    if (std::fflush(stdout) != 0 && status == KFUTIL_OK) return KFUTIL_FAILED;
    return status;
}
