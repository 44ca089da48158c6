// Keyed data files and their index files: the input becomes a data file and
// its ".KEY" index, checked by the file checker and the index checker, then
// opened and read in every read mode of the master slot and the detail slots
// (optionally under the update lock, which turns the read-ahead on, and with
// a few updates), and finally walked and searched through the index alone.
//
// Input: the first byte chooses the form (bits 0..1 the slot layout; bit 2
// the data file's header written by the target in that layout, else the data
// bytes hold their own header; bit 3 the index built by the target from the
// master lines of the data, else index bytes from the input; bit 4 reads
// under the update lock; bit 5 a few updates under it; bit 6 a rebuild);
// then two bytes of index length, a key / pattern (length-prefixed), the
// index bytes, and the data bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "btree/btcheck.h"
#include "btree/btree.h"
#include "fuzz/fuzz_util.h"
#include "platform/fileio.h"
#include "utils/libs/isamacc.h"
#include "utils/libs/isamcheck.h"

namespace {

struct Layout {
    const char* name;
    int kinds;
    std::array<isam_slot_desc, ISAM_NSLOTS> slots;
};

// The schedule and calendar files of the master database, a file with both
// detail kinds (the second without sub-key), and a file of masters only.
constexpr Layout kLayouts[4] = {
    {"mastsked", 1, {{{82, 0, 16}, {182, 16, 6}, {}}}},
    {"calendars", 1, {{{104, 0, 8}, {50, 8, 10}, {}}}},
    {"twokinds", 2, {{{30, 0, 8}, {20, 8, 4}, {12, 8, 0}}}},
    {"tiny", 0, {{{4, 1, 2}, {}, {}}}},
};

fuzz::ScratchDir* g_dir = nullptr;
std::string g_data;
std::string g_index;
std::array<std::string, 4> g_headers;  // header image of each layout

const isam_check_report g_quiet = [](const std::string&) {};

std::string header_of(const Layout& l) {
    const std::string path = g_dir->file("header");
    fuzz::fs::remove(path);
    isam_file_desc desc;
    desc.name = l.name;
    desc.kinds = l.kinds;
    desc.slots = l.slots;
    int err = 0;
    if (build_datafile(path.c_str(), desc, nullptr, &err) != ISAM_OK) {
        std::fprintf(stderr, "build_datafile %s: %d\n", l.name, err);
        std::abort();
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    std::string image(ISAM_HEADER_SIZE, '\0');
    if (f == nullptr || std::fread(image.data(), 1, image.size(), f) != image.size()) std::abort();
    std::fclose(f);
    fuzz::fs::remove(path);
    return image;
}

// An index of the master lines of data as the file layer writes it.
void build_index(const std::string& data, const Layout& l) {
    btree_ptr bt = btopen(g_index.c_str(), plat::FH_CREAT, 0600);
    if (!bt) return;
    const std::size_t record_header = 2 + static_cast<std::size_t>(ISAM_POINTER_SIZE * l.kinds);
    const isam_slot_desc& m = l.slots[0];
    std::size_t pos = ISAM_HEADER_SIZE;
    int keys = 0;
    while (pos < data.size() && keys < 2000) {
        std::size_t end = data.find('\n', pos);
        if (end == std::string::npos) end = data.size();
        const std::size_t key_at = pos + record_header + static_cast<std::size_t>(m.key_offset);
        if (data.compare(pos, 2, "DM") == 0 &&
            key_at + static_cast<std::size_t>(m.key_length) <= end) {
            btinsert(bt.get(), data.data() + key_at, m.key_length, static_cast<std::int32_t>(pos),
                     1);
            ++keys;
        }
        pos = end + 1;
    }
    btclose(std::move(bt));
}

void read_details(isam_handle* h, std::vector<std::vector<char>>& rec, const std::string& key,
                  int& budget) {
    for (int s = 1; s <= h->kinds && s < ISAM_NSLOTS; ++s) {
        void* r = rec[static_cast<std::size_t>(s)].data();
        if (isam_read(h, r, ISAM_READ_FIRST, nullptr, s) == ISAM_OK) {
            for (int n = 0; n < 20 && --budget > 0; ++n)
                if (isam_read(h, r, ISAM_READ_NEXT, nullptr, s) != ISAM_OK) break;
        }
        isam_read(h, r, ISAM_READ_CURRENT, nullptr, s);
        isam_read(h, r, ISAM_READ_EXACT, key.c_str(), s);
        isam_read(h, r, ISAM_READ_GE, key.c_str(), s);
        isam_read(h, r, ISAM_READ_NEXT, nullptr, s);
        budget -= 5;
    }
}

void update(isam_handle* h, std::vector<std::vector<char>>& rec, const std::string& key) {
    isam_replace(h, rec[0].data(), 0);
    for (int s = 1; s <= h->kinds && s < ISAM_NSLOTS; ++s) {
        std::vector<char>& r = rec[static_cast<std::size_t>(s)];
        std::memcpy(r.data(), key.data(), std::min(key.size(), r.size()));
        isam_add(h, r.data(), s);
        isam_replace(h, r.data(), s);
        isam_delete(h, s);
    }
    std::vector<char>& m = rec[0];
    isam_delete(h, 0);
    std::memcpy(m.data(), key.data(), std::min(key.size(), m.size()));
    isam_add(h, m.data(), 0);
}

// The file read in order, as a pass over every master does: the chains of
// the positions the index names walked as far as the bytes read vouch for
// them, and a few masters read on their own. Every record given is copied
// into a buffer of exactly its length, so that one reaching past the bytes
// read shows.
void scan_in_order(isam_handle* f, std::vector<std::vector<char>>& rec, const std::string& key) {
    std::vector<std::int64_t> positions;
    isam_walk_keys(f, key.c_str(), [&](const char*, int, std::int64_t pos) {
        positions.push_back(pos);
        return positions.size() < 400;
    });
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    struct walker : isam_chain_visitor {
        std::vector<std::vector<char>>* rec = nullptr;
        int n = 1;
        bool master(std::int64_t, const char* data, isam_chain_cursor& chain) override {
            if (data != nullptr) std::memcpy((*rec)[0].data(), data, (*rec)[0].size());
            const char* d = nullptr;
            for (int k = 0; k < 300 && chain.next(&d) == isam_chain_cursor::step::record; ++k)
                std::memcpy((*rec)[static_cast<std::size_t>(n)].data(), d,
                            (*rec)[static_cast<std::size_t>(n)].size());
            return true;
        }
    } w;
    w.rec = &rec;
    for (int n = 1; n < ISAM_NSLOTS; ++n) {
        if (isam_record_length(f, n) <= 0) continue;
        w.n = n;
        isam_scan_chains(f, n, positions, w);
        std::vector<char> buffer;
        for (std::size_t i = 0; i < positions.size() && i < 8; ++i) {
            isam_chain_cursor chain;
            const char* data = nullptr;
            if (isam_chain_at(f, n, positions[i], 1 << (6 + i), &buffer, &data, &chain) == ISAM_OK)
                w.master(positions[i], data, chain);
        }
    }
}

void drive_file(unsigned mode, const std::string& key) {
    isam_ptr h;
    std::string msg;
    if (isam_open(&h, g_data.c_str(), nullptr, ISAM_ACCESS_SHARED, ISAM_OPEN_EXISTING, &msg) !=
        ISAM_OK)
        return;
    isam_handle* f = h.get();
    const bool locked = (mode & 0x10) != 0 && isam_lock(f, ISAM_LOCK_UPDATE) == ISAM_OK;

    // Buffers of exactly the slot's record length, so that an overrun shows.
    std::vector<std::vector<char>> rec(ISAM_NSLOTS);
    for (int s = 0; s < ISAM_NSLOTS; ++s) {
        const int len = isam_record_length(f, s);
        rec[static_cast<std::size_t>(s)].assign(static_cast<std::size_t>(len > 0 ? len : 1), ' ');
        isam_key_length(f, s);
    }

    int budget = 400;
    int masters = 0;
    for (int rc = isam_read(f, rec[0].data(), ISAM_READ_FIRST, nullptr, 0);
         rc == ISAM_OK && --budget > 0;
         rc = isam_read(f, rec[0].data(), ISAM_READ_NEXT, nullptr, 0)) {
        if (masters++ < 8) read_details(f, rec, key, budget);
    }
    isam_read(f, rec[0].data(), ISAM_READ_CURRENT, nullptr, 0);
    if (isam_read(f, rec[0].data(), ISAM_READ_EXACT, key.c_str(), 0) == ISAM_OK)
        read_details(f, rec, key, budget);
    isam_read(f, rec[0].data(), ISAM_READ_GE, key.c_str(), 0);
    isam_read(f, rec[0].data(), ISAM_READ_NEXT, nullptr, 0);
    for (int rc = isam_read(f, rec[0].data(), ISAM_READ_PATTERN, key.c_str(), 0);
         rc == ISAM_OK && --budget > 0;
         rc = isam_read(f, rec[0].data(), ISAM_READ_NEXT, nullptr, 0)) {
    }
    isam_read(f, rec[0].data(), 6, key.c_str(), 0);
    isam_read(f, rec[0].data(), ISAM_READ_FIRST, nullptr, ISAM_NSLOTS);

    std::int16_t code = 0;
    int sys_errno = 0;
    isam_status(f, &code, &sys_errno);
    isam_error_text(f, &msg);
    isam_format(f);

    if (locked) scan_in_order(f, rec, key);

    if (locked) {
        if ((mode & 0x20) != 0 &&
            isam_read(f, rec[0].data(), ISAM_READ_FIRST, nullptr, 0) == ISAM_OK)
            update(f, rec, key);
        if ((mode & 0x40) != 0) isam_rebuild(f);
        isam_unlock(f);
    }
    isam_close(&h, &msg);
}

void drive_index(const std::string& key) {
    btree_ptr bt = btopen(g_index.c_str(), 0, 0600);
    if (!bt) return;
    btree_handle* b = bt.get();
    std::array<char, 300> buf{};
    int len = 0;
    std::int32_t value = 0;
    btgoto(b, BT_PREVIOUS);
    for (int n = 0; n < 500 && btravrs(b, BT_NEXT, buf.data(), static_cast<int>(buf.size()), &len,
                                       &value) == BT_OK;
         ++n) {
    }
    btgoto(b, BT_NEXT);
    for (int n = 0; n < 500 && btravrs(b, BT_PREVIOUS, buf.data(), static_cast<int>(buf.size()),
                                       &len, &value) == BT_OK;
         ++n) {
    }
    if (btfind(b, key.data(), static_cast<int>(key.size()), &value) >= 0) {
        btravrs(b, BT_NEXT, buf.data(), static_cast<int>(buf.size()), &len, &value);
        btravrs(b, BT_PREVIOUS, buf.data(), 4, &len, &value);
    }
    btree_refresh(b);
    bterror_text(b);
    btclose(std::move(bt));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static fuzz::ScratchDir dir("keyed");
    g_dir = &dir;
    g_data = dir.file("data");
    g_index = g_data + ".KEY";
    for (std::size_t i = 0; i < g_headers.size(); ++i)
        g_headers[i] = header_of(kLayouts[i]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned mode = data[0];
    const std::size_t index_len = (static_cast<std::size_t>(data[1]) << 8) | data[2];
    FuzzedDataProvider in(data + 3, size - 3);
    const std::string key = in.ConsumeRandomLengthString(80);
    const Layout& layout = kLayouts[mode & 3];
    const bool own_index = (mode & 8) != 0;
    const std::string index_bytes = own_index ? std::string() : in.ConsumeBytesAsString(index_len);
    std::string file = in.ConsumeRemainingBytesAsString();
    if ((mode & 4) != 0) file.insert(0, g_headers[mode & 3]);

    // Fresh files each time: removing first is cheaper than truncating.
    fuzz::fs::remove(g_data);
    fuzz::fs::remove(g_index);
    fuzz::fs::remove(g_data + ".old");
    fuzz::write_file(g_data, file);
    if (own_index)
        build_index(file, layout);
    else
        fuzz::write_file(g_index, index_bytes);

    isam_check_summary summary;
    isam_check(g_data.c_str(), g_quiet, &summary);
    btree_check(g_index.c_str(), g_quiet);
    std::vector<isam_index_entry> entries;
    isam_index_entries(g_index.c_str(), &entries, g_quiet);
    isam_file_layout parsed;
    isam_parse_header(file.data(), std::min<std::size_t>(file.size(), ISAM_HEADER_SIZE), &parsed,
                      g_quiet);

    drive_file(mode, key);
    drive_index(key);
    return 0;
}
