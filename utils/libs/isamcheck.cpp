// Structural check of a keyed data file and its index. Reads only; every
// position taken from the files is checked before it is used.
#include "utils/libs/isamcheck.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>

#include "btree/btcheck.h"
#include "btree/btree.h"
#include "platform/fileio.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::int64_t kWindow = 128 * 1024;  // longest record line is below 33 KiB

std::string num(std::int64_t v) {
    return std::to_string(v);
}

std::string quoted(const std::string& bytes) {
    return "\"" + isam_escape(bytes) + "\"";
}

// Value of n upper-case hex digits, or -1 when any character is not one.
std::int64_t parse_hex(const char* p, int n) {
    std::int64_t v = 0;
    for (int i = 0; i < n; ++i) {
        const char* d = std::strchr(kHexDigits, p[i]);
        if (p[i] == '\0' || d == nullptr) return -1;
        v = v * 16 + (d - kHexDigits);
    }
    return v;
}

// Owns a read-only descriptor.
class ReadFile {
  public:
    explicit ReadFile(const char* path) : fd_(plat::FH_open_file(path, plat::FH_RDONLY)) {}
    ~ReadFile() {
        if (fd_ >= 0) plat::FH_close_file(fd_);
    }
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;
    int fd() const { return fd_; }

    // Reads exactly n bytes at pos; false on a read error or a short file.
    bool read_at(std::int64_t pos, char* out, std::size_t n) const {
        std::size_t done = 0;
        while (done < n) {
            const long got = plat::FH_pread_file(fd_, out + done, n - done,
                                                 pos + static_cast<std::int64_t>(done));
            if (got <= 0) {
                if (got == 0) errno = 0;
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

  private:
    int fd_;
};

// A window over a file of known size for the sequential scan.
class Window {
  public:
    Window(const ReadFile& file, std::int64_t size) : file_(file), size_(size) {}

    // Pointer to bytes [pos, pos + n), n <= kWindow, all inside the file;
    // nullptr when they cannot be read.
    const char* at(std::int64_t pos, std::int64_t n) {
        if (pos < 0 || n < 0 || n > kWindow || pos + n > size_) return nullptr;
        if (pos < start_ || pos + n > start_ + static_cast<std::int64_t>(buf_.size())) {
            const std::int64_t len = std::min(kWindow, size_ - pos);
            buf_.resize(static_cast<std::size_t>(len));
            if (!file_.read_at(pos, buf_.data(), buf_.size())) {
                buf_.clear();
                start_ = -1;
                return nullptr;
            }
            start_ = pos;
        }
        return buf_.data() + (pos - start_);
    }

    // Offset of the first newline at or after pos, or -1 (none before the end
    // of the file, or a read error: *failed is then set).
    std::int64_t newline(std::int64_t pos, bool* failed) {
        *failed = false;
        while (pos < size_) {
            const std::int64_t len = std::min(kWindow, size_ - pos);
            const char* p = at(pos, len);
            if (p == nullptr) {
                *failed = true;
                return -1;
            }
            const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(len));
            if (nl != nullptr) return pos + (static_cast<const char*>(nl) - p);
            pos += len;
        }
        return -1;
    }

  private:
    const ReadFile& file_;
    std::int64_t size_;
    std::vector<char> buf_;
    std::int64_t start_ = -1;
};

class Reporter {
  public:
    explicit Reporter(const isam_check_report& report) : report_(report) {}
    void fault(const std::string& line) {
        ++faults_;
        if (report_) report_(line);
    }
    int faults() const { return faults_; }

  private:
    const isam_check_report& report_;
    int faults_ = 0;
};

std::string at_text(std::int64_t pos) {
    return "record at " + isam_hex8(pos);
}

// ---- header -----------------------------------------------------------------

bool check_slot(const isam_file_layout& lay, int slot, Reporter& rep) {
    const isam_slot_desc& d = lay.slots[static_cast<std::size_t>(slot)];
    const std::string where = "header: slot " + num(slot) + ": ";
    bool ok = true;
    if (d.record_length < 1) {
        rep.fault(where + "record length " + num(d.record_length) + " is not positive");
        return false;
    }
    if (d.key_offset < 0 || d.key_length < 0 || d.key_offset + d.key_length > d.record_length) {
        rep.fault(where + "key at offset " + num(d.key_offset) + " of length " + num(d.key_length) +
                  " lies outside its " + num(d.record_length) + "-byte record");
        ok = false;
    }
    if (slot == 0) {
        if (d.key_length < 1 || d.key_length > BT_MAX_KEY) {
            rep.fault(where + "master key length " + num(d.key_length) + " is not 1 to " +
                      num(BT_MAX_KEY));
            ok = false;
        }
    } else {
        const isam_slot_desc& m = lay.slots[0];
        if (m.key_offset + m.key_length > d.record_length) {
            rep.fault(where + "its " + num(d.record_length) +
                      "-byte record cannot hold the master key");
            ok = false;
        }
    }
    return ok;
}

}  // namespace

std::string isam_escape(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c < 0x7f) {
            out += ch;
        } else {
            out += "\\x";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0xf];
        }
    }
    return out;
}

std::string isam_hex8(std::int64_t pos) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(pos));
    return buf;
}

bool isam_parse_header(const char* image, std::size_t len, isam_file_layout* layout,
                       const isam_check_report& report) {
    Reporter rep(report);
    *layout = isam_file_layout{};
    if (len < static_cast<std::size_t>(ISAM_HEADER_SIZE)) {
        rep.fault("header: the file is " + num(static_cast<std::int64_t>(len)) +
                  " bytes, shorter than its " + num(ISAM_HEADER_SIZE) + "-byte header");
        return false;
    }
    const std::string h(image, ISAM_HEADER_SIZE);
    if (h.compare(0, 2, "AH") != 0) {
        rep.fault("header: the file does not begin with \"AH\" (found " + quoted(h.substr(0, 2)) +
                  "); it is not a keyed data file");
        return false;
    }
    bool usable = true;
    layout->version = h.substr(2, 4);
    if (parse_hex(h.data() + 2, 4) < 0)
        rep.fault("header: version " + quoted(layout->version) + " is not 4 hex digits");
    if (layout->version > "0001") {
        rep.fault("header: version " + quoted(layout->version) + " is newer than \"0001\"");
        usable = false;
    }
    const std::int64_t format = parse_hex(h.data() + 6, 4);
    if (format < 0)
        rep.fault("header: format value " + quoted(h.substr(6, 4)) + " is not 4 hex digits");
    layout->format = static_cast<int>(std::max<std::int64_t>(format, 0));
    const std::string name = h.substr(10, ISAM_NAME_SIZE);
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            rep.fault("header: identity name " + quoted(name) + " holds a control character");
            break;
        }
    }
    layout->name = name.substr(0, name.find_last_not_of(' ') + 1);
    const std::int64_t kinds = parse_hex(h.data() + 26, 4);
    if (kinds < 0 || kinds > ISAM_MAX_KINDS) {
        rep.fault("header: number of detail kinds " + quoted(h.substr(26, 4)) + " is not 0 to " +
                  num(ISAM_MAX_KINDS));
        return false;
    }
    layout->kinds = static_cast<int>(kinds);
    for (int s = 0; s <= layout->kinds; ++s) {
        const char* f = h.data() + 30 + 12 * s;
        std::int64_t v[3];
        for (int i = 0; i < 3; ++i)
            v[i] = parse_hex(f + 4 * i, 4);
        if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[0] > 0x7fff || v[1] > 0x7fff || v[2] > 0x7fff) {
            rep.fault("header: slot " + num(s) + " descriptor " + quoted(std::string(f, 12)) +
                      " is not three hex numbers up to 7FFF");
            usable = false;
            continue;
        }
        isam_slot_desc& d = layout->slots[static_cast<std::size_t>(s)];
        d.record_length = static_cast<std::int16_t>(v[0]);
        d.key_offset = static_cast<std::int16_t>(v[1]);
        d.key_length = static_cast<std::int16_t>(v[2]);
    }
    if (usable) {
        for (int s = 0; s <= layout->kinds; ++s)
            usable = check_slot(*layout, s, rep) && usable;
    }
    const std::size_t rest = 30 + 12 * static_cast<std::size_t>(layout->kinds + 1);
    if (h.find_first_not_of(' ', rest) != ISAM_HEADER_SIZE - 1)
        rep.fault("header: bytes " + num(static_cast<std::int64_t>(rest)) +
                  " to 92 after the slot descriptors are not blank");
    if (h[ISAM_HEADER_SIZE - 1] != '\n') rep.fault("header: byte 93 is not a newline");
    return usable;
}

// ---- record lines -----------------------------------------------------------

namespace {

// The slot a record line's type characters name, or ISAM_LINE_DELETED /
// ISAM_LINE_BAD.
int type_kind(const char* t, int kinds) {
    if (t[0] == ' ' && t[1] == ' ') return ISAM_LINE_DELETED;
    if (t[0] != 'D') return ISAM_LINE_BAD;
    if (t[1] == 'M') return ISAM_LINE_MASTER;
    if (t[1] >= '1' && t[1] <= '0' + kinds) return t[1] - '0';
    return ISAM_LINE_BAD;
}

class Scanner {
  public:
    Scanner(const ReadFile& file, std::int64_t size, const isam_file_layout& lay, bool with_data,
            Reporter& rep)
        : win_(file, size), size_(size), lay_(lay), with_data_(with_data), rep_(rep) {}

    // False when a read error ends the scan early.
    bool run(std::vector<isam_line>* lines);

  private:
    bool plausible_start(std::int64_t q) {
        if (q == size_) return true;
        const char* t = win_.at(q, 2);
        return t != nullptr && type_kind(t, lay_.kinds) != ISAM_LINE_BAD;
    }
    void take_live(isam_line& ln, const char* p);
    // A line that is not a record: up to the next newline after pos + skip,
    // or to the end of the file.
    bool to_newline(isam_line& ln, std::int64_t skip);

    Window win_;
    std::int64_t size_;
    const isam_file_layout& lay_;
    bool with_data_;
    Reporter& rep_;
};

void Scanner::take_live(isam_line& ln, const char* p) {
    const int hl = lay_.header_length();
    const isam_slot_desc& ds = lay_.slots[static_cast<std::size_t>(ln.kind)];
    const std::string what = at_text(ln.pos) + " (" + ln.header.substr(0, 2) + ")";
    for (int f = 0; f < lay_.kinds; ++f) {
        const char* ptr = p + 2 + ISAM_POINTER_SIZE * f;
        if (parse_hex(ptr, ISAM_POINTER_SIZE) < 0) {
            rep_.fault(what + ": pointer field " + num(f + 1) + " " +
                       quoted(std::string(ptr, ISAM_POINTER_SIZE)) +
                       " is not 8 upper-case hex digits");
        } else if (ln.kind != ISAM_LINE_MASTER && f > 0 &&
                   std::memcmp(ptr, "00000000", ISAM_POINTER_SIZE) != 0) {
            rep_.fault(what + ": pointer field " + num(f + 1) + " of a detail record is " +
                       quoted(std::string(ptr, ISAM_POINTER_SIZE)) + ", not zero");
        }
    }
    const char* data = p + hl;
    const void* nl = std::memchr(data, '\n', static_cast<std::size_t>(ds.record_length));
    if (nl != nullptr)
        rep_.fault(what + ": its record data holds a newline at data offset " +
                   num(static_cast<const char*>(nl) - data));
    const isam_slot_desc& m = lay_.slots[0];
    ln.key.assign(data + m.key_offset, static_cast<std::size_t>(m.key_length));
    if (ln.kind != ISAM_LINE_MASTER)
        ln.key.append(data + ds.key_offset, static_cast<std::size_t>(ds.key_length));
    if (with_data_) ln.data.assign(data, static_cast<std::size_t>(ds.record_length));
}

bool Scanner::to_newline(isam_line& ln, std::int64_t skip) {
    bool failed = false;
    const std::int64_t nl = win_.newline(ln.pos + skip, &failed);
    if (failed) return false;
    ln.length = (nl < 0 ? size_ : nl + 1) - ln.pos;
    return true;
}

bool Scanner::run(std::vector<isam_line>* lines) {
    const int hl = lay_.header_length();
    std::int64_t pos = ISAM_HEADER_SIZE;
    while (pos < size_) {
        isam_line ln;
        ln.pos = pos;
        const std::int64_t left = size_ - pos;
        const char* t = win_.at(pos, std::min<std::int64_t>(left, hl));
        if (t == nullptr) return false;
        ln.header.assign(t, static_cast<std::size_t>(std::min<std::int64_t>(left, hl)));
        if (left < 2) {
            rep_.fault(at_text(pos) + ": the file ends after " + num(left) +
                       " byte of a record line");
            ln.length = left;
            lines->push_back(std::move(ln));
            break;
        }
        ln.kind = type_kind(t, lay_.kinds);
        if (ln.kind >= 0) {
            const std::int64_t len = lay_.line_length(ln.kind);
            if (len > left) {
                rep_.fault(at_text(pos) + " (" + ln.header.substr(0, 2) + "): the file ends " +
                           num(left) + " bytes into its " + num(len) + "-byte record line");
                ln.kind = ISAM_LINE_BAD;
                ln.length = left;
                lines->push_back(std::move(ln));
                break;
            }
            const char* p = win_.at(pos, len);
            if (p == nullptr) return false;
            if (p[len - 1] == '\n' || plausible_start(pos + len)) {
                if (p[len - 1] != '\n')
                    rep_.fault(at_text(pos) + " (" + ln.header.substr(0, 2) +
                               "): the record line does not end in a newline");
                p = win_.at(pos, len);  // plausible_start may have moved the window
                if (p == nullptr) return false;
                ln.length = len;
                take_live(ln, p);
            } else {
                rep_.fault(at_text(pos) + " (" + ln.header.substr(0, 2) + "): not a " + num(len) +
                           "-byte record line; skipped to the next newline");
                ln.kind = ISAM_LINE_BAD;
                if (!to_newline(ln, 2)) return false;
            }
        } else if (ln.kind == ISAM_LINE_DELETED) {
            if (!to_newline(ln, 2)) return false;
            bool known = false;
            for (int s = 0; s <= lay_.kinds; ++s)
                known = known || ln.length == lay_.line_length(s);
            if (!known) {
                rep_.fault(at_text(pos) + " (deleted): its " + num(ln.length) +
                           "-byte line fits no record kind");
                ln.kind = ISAM_LINE_BAD;
            }
        } else {
            rep_.fault(at_text(pos) + ": unknown record type " + quoted(ln.header.substr(0, 2)));
            if (!to_newline(ln, 2)) return false;
        }
        if (with_data_ && ln.kind < 0 && ln.length > hl) {
            const std::int64_t dl = std::min<std::int64_t>(ln.length - hl, kWindow);
            const char* d = win_.at(pos + hl, dl);
            if (d == nullptr) return false;
            ln.data.assign(d, static_cast<std::size_t>(dl));
            if (!ln.data.empty() && ln.data.back() == '\n') ln.data.pop_back();
        }
        pos += ln.length;
        lines->push_back(std::move(ln));
    }
    return true;
}

}  // namespace

int isam_scan_file(const char* path, bool with_data, isam_file_layout* layout,
                   std::vector<isam_line>* lines, const isam_check_report& report,
                   std::int64_t* file_size) {
    Reporter rep(report);
    lines->clear();
    if (file_size) *file_size = 0;
    ReadFile file(path);
    plat::FileStatus st;
    if (file.fd() < 0 || plat::FH_fstat_file(file.fd(), &st) != 0) {
        rep.fault(std::string("cannot open ") + path + ": " + std::strerror(errno));
        return -1;
    }
    if (file_size) *file_size = st.size;
    char head[ISAM_HEADER_SIZE];
    const std::size_t hlen =
        static_cast<std::size_t>(std::min<std::int64_t>(st.size, ISAM_HEADER_SIZE));
    if (!file.read_at(0, head, hlen)) {
        rep.fault(std::string("cannot read the header of ") + path + ": " + std::strerror(errno));
        return -1;
    }
    if (!isam_parse_header(head, hlen, layout, [&](const std::string& l) { rep.fault(l); }))
        return -1;
    Scanner scan(file, st.size, *layout, with_data, rep);
    if (!scan.run(lines)) {
        rep.fault(std::string("cannot read ") + path + ": " + std::strerror(errno));
        return -1;
    }
    return rep.faults();
}

// ---- index keys -------------------------------------------------------------

namespace {

std::int32_t be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::int32_t>((std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) |
                                     (std::uint32_t{u[2]} << 8) | std::uint32_t{u[3]});
}

// Page header words.
enum : int { kLeft = 0, kRight = 4, kHigh = 8, kCount = 12, kBytes = 16, kKeys = 20 };

class IndexReader {
  public:
    IndexReader(const ReadFile& file, Reporter& rep) : file_(file), rep_(rep) {}
    int run(std::vector<isam_index_entry>* out, std::int32_t* depth);

  private:
    bool valid(std::int32_t off) const { return off > 0 && off < end_ && off % psize_ == 0; }
    // Reads the page and checks its key counts; false after a fault.
    bool load(std::int32_t off);
    bool leaf_keys(std::int32_t off, std::vector<isam_index_entry>* out);

    const ReadFile& file_;
    Reporter& rep_;
    std::int32_t psize_ = 0;
    std::int32_t end_ = 0;
    std::vector<char> page_;
};

bool IndexReader::load(std::int32_t off) {
    if (!file_.read_at(off, page_.data(), page_.size())) {
        rep_.fault("index: page " + num(off) + " cannot be read");
        return false;
    }
    const std::int64_t k = be32(page_.data() + kCount);
    const std::int64_t b = be32(page_.data() + kBytes);
    if (k < 0 || b < 0 || b + 8 * k + 24 > psize_) {
        rep_.fault("index: page " + num(off) + " is corrupt (" + num(k) + " keys, " + num(b) +
                   " key bytes)");
        return false;
    }
    return true;
}

bool IndexReader::leaf_keys(std::int32_t off, std::vector<isam_index_entry>* out) {
    const std::int32_t k = be32(page_.data() + kCount);
    const std::int32_t b = be32(page_.data() + kBytes);
    const std::int32_t ends = kKeys + b + (4 - (kKeys + b) % 4);
    const std::int32_t ptrs = ends + 4 * k;
    std::int32_t start = 0;
    for (std::int32_t i = 0; i < k; ++i) {
        const std::int32_t end = be32(page_.data() + ends + 4 * i);
        if (end <= start || end > b) {
            rep_.fault("index: page " + num(off) + ": key " + num(i) + " ends at " + num(end) +
                       ", outside its key area");
            return false;
        }
        isam_index_entry e;
        e.key.assign(page_.data() + kKeys + start, static_cast<std::size_t>(end - start));
        e.value = be32(page_.data() + ptrs + 4 * i);
        out->push_back(std::move(e));
        start = end;
    }
    return true;
}

int IndexReader::run(std::vector<isam_index_entry>* out, std::int32_t* depth) {
    plat::FileStatus st;
    if (plat::FH_fstat_file(file_.fd(), &st) != 0) return -1;
    if (st.size == 0) return 0;  // opening it makes an empty index
    char sb[BT_SUPER_SIZE];
    if (st.size < BT_SUPER_SIZE || !file_.read_at(0, sb, sizeof sb)) {
        rep_.fault("index: the file is too short for a superblock");
        return rep_.faults();
    }
    if (be32(sb) != BT_MAGIC) {
        rep_.fault("index: bad magic number " + num(be32(sb)));
        return rep_.faults();
    }
    psize_ = be32(sb + 4);
    end_ = be32(sb + 24);
    const std::int32_t levels = be32(sb + 8);
    if (depth) *depth = levels;
    std::int32_t off = be32(sb + 16);
    if (psize_ < BT_MIN_PAGE_SIZE || psize_ > BT_MAX_PAGE_SIZE || psize_ % 4 != 0 ||
        end_ < 2 * psize_ || end_ % psize_ != 0 || !valid(off)) {
        rep_.fault("index: unusable superblock");
        return rep_.faults();
    }
    page_.assign(static_cast<std::size_t>(psize_), 0);
    const std::int64_t npages = end_ / psize_;
    // Down the left edge of the tree to the first leaf.
    for (std::int64_t level = 0;; ++level) {
        if (level > BT_MAX_DEPTH || level >= npages) {
            rep_.fault("index: no leaf below the root within " + num(level) + " levels");
            return rep_.faults();
        }
        if (!load(off)) return rep_.faults();
        const std::int32_t high = be32(page_.data() + kHigh);
        if (high == BT_NOPAGE) break;
        const std::int32_t k = be32(page_.data() + kCount);
        const std::int32_t b = be32(page_.data() + kBytes);
        const std::int32_t child =
            k > 0 ? be32(page_.data() + kKeys + b + (4 - (kKeys + b) % 4) + 4 * k) : high;
        if (!valid(child)) {
            rep_.fault("index: page " + num(off) + " points to " + num(child) +
                       ", which is not a page");
            return rep_.faults();
        }
        off = child;
    }
    // Along the leaf chain.
    std::vector<bool> seen(static_cast<std::size_t>(npages), false);
    for (;;) {
        seen[static_cast<std::size_t>(off / psize_)] = true;
        if (be32(page_.data() + kHigh) != BT_NOPAGE) {
            rep_.fault("index: page " + num(off) + " in the leaf chain is not a leaf");
            break;
        }
        if (!leaf_keys(off, out)) break;
        const std::int32_t right = be32(page_.data() + kRight);
        if (right == BT_NOPAGE) break;
        if (!valid(right)) {
            rep_.fault("index: leaf " + num(off) + " has right sibling " + num(right) +
                       ", which is not a page");
            break;
        }
        if (seen[static_cast<std::size_t>(right / psize_)]) {
            rep_.fault("index: the leaf chain loops back to page " + num(right));
            break;
        }
        off = right;
        if (!load(off)) break;
    }
    return rep_.faults();
}

}  // namespace

int isam_index_entries(const char* index_path, std::vector<isam_index_entry>* entries,
                       const isam_check_report& report, std::int32_t* depth) {
    Reporter rep(report);
    entries->clear();
    if (depth) *depth = 0;
    ReadFile file(index_path);
    if (file.fd() < 0) {
        rep.fault(std::string("index: cannot open ") + index_path + ": " + std::strerror(errno));
        return -1;
    }
    IndexReader reader(file, rep);
    const int rc = reader.run(entries, depth);
    if (rc < 0)
        rep.fault(std::string("index: cannot examine ") + index_path + ": " + std::strerror(errno));
    return rc;
}

// ---- the whole check --------------------------------------------------------

namespace {

class PairChecker {
  public:
    PairChecker(const char* path, Reporter& rep, isam_check_summary& sum)
        : path_(path), rep_(rep), sum_(sum) {}
    void run();

  private:
    // Index of the line starting at pos, or -1.
    std::int64_t line_at(std::int64_t pos) const {
        const auto it =
            std::lower_bound(lines_.begin(), lines_.end(), pos,
                             [](const isam_line& l, std::int64_t p) { return l.pos < p; });
        return it != lines_.end() && it->pos == pos ? it - lines_.begin() : -1;
    }
    std::int64_t pointer(const isam_line& ln, int field) const {
        if (ln.header.size() < static_cast<std::size_t>(2 + ISAM_POINTER_SIZE * field)) return -1;
        return parse_hex(ln.header.data() + 2 + ISAM_POINTER_SIZE * (field - 1), ISAM_POINTER_SIZE);
    }
    void count_lines();
    void check_chain(std::size_t master, int kind);
    void check_orphans();
    void check_index();

    std::string path_;
    Reporter& rep_;
    isam_check_summary& sum_;
    isam_file_layout lay_;
    std::vector<isam_line> lines_;
    std::vector<std::int64_t> owner_;              // per line: master line of its chain, or -1
    std::map<std::string, std::int64_t> masters_;  // live master key -> position
};

std::string describe(const isam_line& ln) {
    switch (ln.kind) {
        case ISAM_LINE_MASTER:
            return "a master record";
        case ISAM_LINE_DELETED:
            return "a deleted record";
        case ISAM_LINE_BAD:
            return "a broken record line";
        default:
            return "a detail record of kind " + num(ln.kind);
    }
}

void PairChecker::count_lines() {
    for (const isam_line& ln : lines_) {
        if (ln.kind == ISAM_LINE_MASTER) {
            ++sum_.masters;
            const auto [it, fresh] = masters_.emplace(ln.key, ln.pos);
            if (!fresh)
                rep_.fault(at_text(ln.pos) + " (DM): master key " + quoted(ln.key) +
                           " is also the key of the master at " + isam_hex8(it->second));
        } else if (ln.kind > 0) {
            ++sum_.details[static_cast<std::size_t>(ln.kind)];
        } else if (ln.kind == ISAM_LINE_DELETED) {
            ++sum_.deleted;
        } else {
            ++sum_.bad_lines;
        }
    }
}

void PairChecker::check_chain(std::size_t master, int kind) {
    const isam_line& m = lines_[master];
    const std::string chain =
        "chain of kind " + num(kind) + " of the master at " + isam_hex8(m.pos) + ": ";
    const std::size_t mkey = static_cast<std::size_t>(lay_.slots[0].key_length);
    const bool sorted = lay_.slots[static_cast<std::size_t>(kind)].key_length > 0;
    std::int64_t from = m.pos;
    std::int64_t next = pointer(m, kind);
    const isam_line* prev = nullptr;
    while (next > 0) {
        const std::int64_t i = line_at(next);
        if (i < 0) {
            rep_.fault(chain + "the pointer " + isam_hex8(next) + " in " + at_text(from) +
                       " is not the start of a record");
            return;
        }
        const isam_line& d = lines_[static_cast<std::size_t>(i)];
        if (d.kind != kind) {
            rep_.fault(chain + "the pointer " + isam_hex8(next) + " in " + at_text(from) +
                       " leads to " + describe(d));
            return;
        }
        std::int64_t& own = owner_[static_cast<std::size_t>(i)];
        if (own == static_cast<std::int64_t>(master)) {
            rep_.fault(chain + "the pointer in " + at_text(from) + " loops back to " +
                       at_text(d.pos));
            return;
        }
        if (own >= 0) {
            rep_.fault(chain + at_text(d.pos) + " is also in the chain of the master at " +
                       isam_hex8(lines_[static_cast<std::size_t>(own)].pos));
            return;
        }
        own = static_cast<std::int64_t>(master);
        if (d.key.compare(0, mkey, m.key) != 0)
            rep_.fault(chain + at_text(d.pos) + " has the master key " +
                       quoted(d.key.substr(0, mkey)) + ", not " + quoted(m.key));
        else if (sorted && prev != nullptr && d.key < prev->key)
            rep_.fault(chain + at_text(d.pos) + " with sub-key " + quoted(d.key.substr(mkey)) +
                       " follows the greater sub-key " + quoted(prev->key.substr(mkey)));
        prev = &d;
        from = d.pos;
        next = pointer(d, 1);
    }
}

void PairChecker::check_orphans() {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind > 0 && owner_[i] < 0)
            rep_.fault(at_text(lines_[i].pos) + " (" + lines_[i].header.substr(0, 2) +
                       "): the detail record is in no chain of a master");
    }
}

void PairChecker::check_index() {
    const std::string index = path_ + ".KEY";
    bt_check_summary bsum;
    const int bt = btree_check(
        index.c_str(), [&](const std::string& l) { rep_.fault("index: " + l); }, &bsum);
    // Every fault, and the reason a file cannot be read at all, came as a
    // line; the keys are compared only in a sound index.
    if (bt != 0) return;
    std::vector<isam_index_entry> entries;
    if (isam_index_entries(
            index.c_str(), &entries, [&](const std::string& l) { rep_.fault(l); },
            &sum_.index_depth) != 0)
        return;
    sum_.index_checked = true;
    sum_.index_keys = static_cast<std::int64_t>(entries.size());
    if (!sum_.header_usable) return;
    const std::size_t klen = static_cast<std::size_t>(lay_.slots[0].key_length);
    std::map<std::string, bool> indexed;
    for (const isam_index_entry& e : entries) {
        const std::string what =
            "index: key " + quoted(e.key) + " -> " + isam_hex8(static_cast<std::uint32_t>(e.value));
        indexed[e.key] = true;
        if (e.key.size() != klen) {
            rep_.fault(what + ": the key is " + num(static_cast<std::int64_t>(e.key.size())) +
                       " bytes, master keys are " + num(static_cast<std::int64_t>(klen)));
            continue;
        }
        const auto it = masters_.find(e.key);
        if (it == masters_.end()) {
            const std::int64_t i = line_at(static_cast<std::uint32_t>(e.value));
            rep_.fault(what + ": no live master has this key" +
                       (i < 0 ? std::string(", and the position is not a record start")
                              : ", and the position holds " +
                                    describe(lines_[static_cast<std::size_t>(i)])));
        } else if (it->second != static_cast<std::uint32_t>(e.value)) {
            rep_.fault(what + ": the master with this key is at " + isam_hex8(it->second));
        }
    }
    for (const auto& [key, pos] : masters_) {
        if (indexed.find(key) == indexed.end())
            rep_.fault(at_text(pos) + " (DM): master key " + quoted(key) + " is not in the index");
    }
}

void PairChecker::run() {
    const int scanned = isam_scan_file(
        path_.c_str(), false, &lay_, &lines_, [&](const std::string& l) { rep_.fault(l); },
        &sum_.file_size);
    sum_.layout = lay_;
    sum_.header_usable = scanned >= 0;
    if (sum_.header_usable) {
        owner_.assign(lines_.size(), -1);
        count_lines();
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].kind != ISAM_LINE_MASTER) continue;
            for (int k = 1; k <= lay_.kinds; ++k)
                check_chain(i, k);
        }
        check_orphans();
    }
    check_index();
}

}  // namespace

int isam_check(const char* path, const isam_check_report& report, isam_check_summary* summary) {
    Reporter rep(report);
    isam_check_summary sum;
    if (path == nullptr) {
        rep.fault("no file to check");
    } else {
        PairChecker(path, rep, sum).run();
    }
    if (summary) *summary = sum;
    return rep.faults();
}
