#include "utils/libs/isamsort.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/fileio.h"
#include "platform/process.h"

namespace {

std::size_t g_run_limit = isam_sort_default_run_bytes;
unsigned long g_temp_counter = 0;

constexpr std::size_t write_chunk = 1u << 20;
constexpr std::size_t read_chunk = 1u << 16;
// A record's length prefix: 4 bytes, big-endian.
constexpr std::size_t prefix_size = 4;
// Records longer than this cannot come from a data file and mark a damaged run.
constexpr std::uint32_t max_record = 1u << 26;

}  // namespace

void isam_sort_set_run_limit(std::size_t bytes) {
    g_run_limit = bytes == 0 ? isam_sort_default_run_bytes : bytes;
}

std::size_t isam_sort_run_limit() {
    return g_run_limit;
}

// ---- temporary files ----------------------------------------------------------

isam_temp_file::~isam_temp_file() {
    if (fd_ >= 0) plat::FH_close_file(fd_);
}

int isam_temp_file::create(const std::string& prefix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".tmp%d_%lu", plat::process_id(), ++g_temp_counter);
        std::string name = prefix + suffix;
        int fd =
            plat::FH_open_file(name.c_str(), plat::FH_RDWR | plat::FH_CREAT | plat::FH_EXCL, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        plat::FH_remove_file(name.c_str());
        fd_ = fd;
        return 0;
    }
    errno = EEXIST;
    return -1;
}

int isam_temp_file::write(const void* data, std::size_t n) {
    wbuf_.append(static_cast<const char*>(data), n);
    written_ += static_cast<std::int64_t>(n);
    if (wbuf_.size() >= write_chunk) return flush();
    return 0;
}

int isam_temp_file::write_record(std::string_view record) {
    auto n = static_cast<std::uint32_t>(record.size());
    unsigned char len[prefix_size] = {
        static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
        static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    if (write(len, prefix_size) < 0) return -1;
    return write(record.data(), record.size());
}

int isam_temp_file::flush() {
    if (wbuf_.empty()) return 0;
    long w = plat::FH_write_file(fd_, wbuf_.data(), wbuf_.size());
    if (w != static_cast<long>(wbuf_.size())) {
        if (w >= 0) errno = EIO;
        return -1;
    }
    wbuf_.clear();
    return 0;
}

int isam_temp_file::rewind() {
    if (flush() < 0) return -1;
    if (plat::FH_lseek_file(fd_, 0, SEEK_SET) < 0) return -1;
    rbuf_.clear();
    rpos_ = 0;
    eof_ = false;
    return 0;
}

int isam_temp_file::read_at(std::int64_t offset, void* data, std::size_t n) {
    long r = plat::FH_pread_file(fd_, data, n, offset);
    if (r != static_cast<long>(n)) {
        if (r >= 0) errno = EIO;
        return -1;
    }
    return 0;
}

// Appends more bytes to the read buffer. 1 read some, 0 end, -1 failure.
int isam_temp_file::fill() {
    if (eof_) return 0;
    if (rpos_ > 0) {
        rbuf_.erase(0, rpos_);
        rpos_ = 0;
    }
    std::size_t old = rbuf_.size();
    rbuf_.resize(old + read_chunk);
    long r = plat::FH_read_file(fd_, rbuf_.data() + old, read_chunk);
    if (r < 0) {
        rbuf_.resize(old);
        return -1;
    }
    rbuf_.resize(old + static_cast<std::size_t>(r));
    if (r == 0) eof_ = true;
    return r > 0 ? 1 : 0;
}

int isam_temp_file::read_record(std::string* record) {
    while (rbuf_.size() - rpos_ < prefix_size) {
        int f = fill();
        if (f < 0) return -1;
        if (f == 0) {
            if (rbuf_.size() == rpos_) return 0;
            errno = EIO;  // a partial length prefix
            return -1;
        }
    }
    auto p = reinterpret_cast<const unsigned char*>(rbuf_.data() + rpos_);
    std::uint32_t n = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                      (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    if (n > max_record) {
        errno = EIO;
        return -1;
    }
    while (rbuf_.size() - rpos_ < prefix_size + n) {
        int f = fill();
        if (f < 0) return -1;
        if (f == 0) {
            errno = EIO;
            return -1;
        }
    }
    record->assign(rbuf_.data() + rpos_ + prefix_size, n);
    rpos_ += prefix_size + n;
    return 1;
}

// ---- the sorter ---------------------------------------------------------------

struct isam_sorter::source {
    std::unique_ptr<isam_temp_file> file;
    std::string record;
};

isam_sorter::isam_sorter(std::string temp_prefix, less_fn less)
    : prefix_(std::move(temp_prefix)), less_(std::move(less)), limit_(g_run_limit) {}

isam_sorter::~isam_sorter() = default;

std::int16_t isam_sorter::fail(std::int16_t code) {
    if (error_ == 0) {
        error_ = code;
        sys_errno_ = errno;
    }
    return error_;
}

std::int16_t isam_sorter::spill() {
    std::sort(batch_.begin(), batch_.end(), less_);
    auto run = std::make_unique<isam_temp_file>();
    if (run->create(prefix_) < 0) return fail(ISAM_SORT_E_TEMP);
    for (const auto& r : batch_)
        if (run->write_record(r) < 0) return fail(ISAM_SORT_E_WRITE);
    if (run->flush() < 0) return fail(ISAM_SORT_E_WRITE);
    batch_.clear();
    batch_.shrink_to_fit();
    batch_bytes_ = 0;
    runs_.push_back(std::move(run));
    ++runs_written_;
    return 0;
}

std::int16_t isam_sorter::add(std::string_view record) {
    if (error_) return error_;
    try {
        batch_.emplace_back(record);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return fail(ISAM_SORT_E_TEMP);
    }
    batch_bytes_ += record.size() + sizeof(std::string);
    if (batch_bytes_ >= limit_) return spill();
    return 0;
}

// Opens a heap over runs_[first, first + count).
std::int16_t isam_sorter::open_merge(std::size_t first, std::size_t count) {
    heap_.clear();
    auto greater = [this](const std::unique_ptr<source>& a, const std::unique_ptr<source>& b) {
        return less_(b->record, a->record);
    };
    for (std::size_t i = first; i < first + count; ++i) {
        auto s = std::make_unique<source>();
        s->file = std::move(runs_[i]);
        if (s->file->rewind() < 0) return fail(ISAM_SORT_E_READ);
        int r = s->file->read_record(&s->record);
        if (r < 0) return fail(ISAM_SORT_E_READ);
        if (r == 0) continue;
        heap_.push_back(std::move(s));
        std::push_heap(heap_.begin(), heap_.end(), greater);
    }
    return 0;
}

int isam_sorter::merge_next(std::string* record) {
    if (heap_.empty()) return 0;
    auto greater = [this](const std::unique_ptr<source>& a, const std::unique_ptr<source>& b) {
        return less_(b->record, a->record);
    };
    std::pop_heap(heap_.begin(), heap_.end(), greater);
    auto& s = heap_.back();
    record->swap(s->record);
    int r = s->file->read_record(&s->record);
    if (r < 0) {
        fail(ISAM_SORT_E_READ);
        return -1;
    }
    if (r == 0)
        heap_.pop_back();
    else
        std::push_heap(heap_.begin(), heap_.end(), greater);
    return 1;
}

// Merges groups of fan-in runs into longer runs until one final merge is left.
std::int16_t isam_sorter::merge_pass() {
    std::vector<std::unique_ptr<isam_temp_file>> merged;
    for (std::size_t first = 0; first < runs_.size(); first += isam_sort_fan_in) {
        std::size_t count = std::min(isam_sort_fan_in, runs_.size() - first);
        if (std::int16_t c = open_merge(first, count)) return c;
        auto out = std::make_unique<isam_temp_file>();
        if (out->create(prefix_) < 0) return fail(ISAM_SORT_E_TEMP);
        std::string rec;
        for (;;) {
            int r = merge_next(&rec);
            if (r < 0) return error_;
            if (r == 0) break;
            if (out->write_record(rec) < 0) return fail(ISAM_SORT_E_WRITE);
        }
        if (out->flush() < 0) return fail(ISAM_SORT_E_WRITE);
        heap_.clear();  // closes the merged inputs
        merged.push_back(std::move(out));
        ++runs_written_;
    }
    runs_ = std::move(merged);
    return 0;
}

std::int16_t isam_sorter::finish() {
    if (error_) return error_;
    finished_ = true;
    if (runs_.empty()) {
        std::sort(batch_.begin(), batch_.end(), less_);
        in_memory_ = true;
        batch_pos_ = 0;
        return 0;
    }
    if (!batch_.empty())
        if (std::int16_t c = spill()) return c;
    while (runs_.size() > isam_sort_fan_in)
        if (std::int16_t c = merge_pass()) return c;
    return open_merge(0, runs_.size());
}

int isam_sorter::next(std::string* record) {
    if (error_ || !finished_) return error_ ? -1 : 0;
    if (in_memory_) {
        if (batch_pos_ >= batch_.size()) return 0;
        record->swap(batch_[batch_pos_++]);
        return 1;
    }
    return merge_next(record);
}
