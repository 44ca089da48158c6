// External merge sort of byte records for the keyed file rebuild. Records
// are gathered in memory up to a byte limit; each full batch is sorted and
// written to a temporary run file beside the data file (unlinked as soon as
// it is created, so nothing is left behind), and the runs are merged, at most
// isam_sort_fan_in at a time, so that memory stays bounded however large the
// input is. The comparison must be a strict weak ordering; records that
// compare equal come out in no particular order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Codes of the sort facility (the keyed file layer's rebuild codes).
enum : std::int16_t {
    ISAM_SORT_OK = 0,
    ISAM_SORT_E_TEMP = 463,   // a run file cannot be created
    ISAM_SORT_E_WRITE = 464,  // a run file cannot be written
    ISAM_SORT_E_READ = 465,   // a run file cannot be read back
};

constexpr std::size_t isam_sort_default_run_bytes = 16u << 20;
constexpr std::size_t isam_sort_fan_in = 16;

// Byte limit of the in-memory batch for sorters created from now on (0
// restores the default). Tests use a small limit to exercise the runs.
void isam_sort_set_run_limit(std::size_t bytes);
std::size_t isam_sort_run_limit();

// A temporary file of length-prefixed records, buffered, removed from its
// directory on creation.
class isam_temp_file {
  public:
    isam_temp_file() = default;
    ~isam_temp_file();
    isam_temp_file(const isam_temp_file&) = delete;
    isam_temp_file& operator=(const isam_temp_file&) = delete;

    // Creates the file as prefix + a unique suffix. 0 or -1 (errno set).
    int create(const std::string& prefix);
    // Appends raw bytes. 0 or -1.
    int write(const void* data, std::size_t n);
    int write_record(std::string_view record);
    int flush();
    // Flushes and goes back to the start for reading. 0 or -1.
    int rewind();
    // Reads n raw bytes at a byte offset (unbuffered; after flush). 0 or -1.
    int read_at(std::int64_t offset, void* data, std::size_t n);
    // 1 a record was read, 0 end of the file, -1 failure (a truncated record too).
    int read_record(std::string* record);
    std::int64_t size() const { return written_; }

  private:
    int fill();

    int fd_ = -1;
    std::string wbuf_;
    std::string rbuf_;
    std::size_t rpos_ = 0;
    bool eof_ = false;
    std::int64_t written_ = 0;
};

class isam_sorter {
  public:
    using less_fn = std::function<bool(std::string_view, std::string_view)>;

    // temp_prefix: where run files go (a path whose directory is writable).
    isam_sorter(std::string temp_prefix, less_fn less);
    ~isam_sorter();
    isam_sorter(const isam_sorter&) = delete;
    isam_sorter& operator=(const isam_sorter&) = delete;

    std::int16_t add(std::string_view record);
    // Ends the input and prepares the output.
    std::int16_t finish();
    // 1 with the next record in order, 0 at the end, -1 on failure (error()).
    int next(std::string* record);

    std::int16_t error() const { return error_; }
    int sys_errno() const { return sys_errno_; }
    std::size_t runs_written() const { return runs_written_; }

  private:
    struct source;
    std::int16_t fail(std::int16_t code);
    std::int16_t spill();
    std::int16_t merge_pass();
    std::int16_t open_merge(std::size_t first, std::size_t count);
    int merge_next(std::string* record);

    std::string prefix_;
    less_fn less_;
    std::size_t limit_;
    std::vector<std::string> batch_;
    std::size_t batch_bytes_ = 0;
    std::size_t batch_pos_ = 0;
    std::vector<std::unique_ptr<isam_temp_file>> runs_;
    std::vector<std::unique_ptr<source>> heap_;
    bool in_memory_ = false;
    bool finished_ = false;
    std::size_t runs_written_ = 0;
    std::int16_t error_ = 0;
    int sys_errno_ = 0;
};
