// korvex_floor: the least work a production-schedule build can do, for the
// end-to-end benchmark to compare korvex with: read every byte of the given
// files once and write a given number of bytes once.
//
// Usage: korvex_floor OUTPUT BYTES FILE...
//
// The files are read in large blocks; OUTPUT receives BYTES bytes taken from
// what was read (zeros when nothing was). Prints the number of bytes read and
// a checksum of them, so that the reading cannot be left out. Exit status 0,
// or 1 when a file cannot be read or the output cannot be written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

int fail(const char* path, const char* what) {
    std::fprintf(stderr, "korvex_floor: %s: %s: %s\n", path, what, std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: korvex_floor OUTPUT BYTES FILE...\n");
        return 2;
    }
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0') {
        std::fprintf(stderr, "korvex_floor: BYTES must be a number\n");
        return 2;
    }

    std::vector<unsigned char> block(kBlock);
    std::vector<unsigned char> first;  // the first block read, the output's source
    std::uint64_t total = 0;
    std::uint64_t sum = 0;
    for (int k = 3; k < argc; ++k) {
        std::FILE* f = std::fopen(argv[k], "rb");
        if (f == nullptr) return fail(argv[k], "cannot open");
        std::setvbuf(f, nullptr, _IONBF, 0);
        for (;;) {
            const std::size_t n = std::fread(block.data(), 1, block.size(), f);
            if (n == 0) break;
            total += n;
            for (std::size_t i = 0; i < n; i += 64)
                sum = sum * 31 + block[i];
            if (first.empty()) first.assign(block.begin(), block.begin() + n);
        }
        const bool bad = std::ferror(f) != 0;
        std::fclose(f);
        if (bad) return fail(argv[k], "cannot read");
    }

    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return fail(argv[1], "cannot create");
    if (first.empty()) first.assign(kBlock, 0);
    for (unsigned long long left = bytes; left > 0;) {
        const std::size_t n = left < first.size() ? static_cast<std::size_t>(left) : first.size();
        if (std::fwrite(first.data(), 1, n, out) != n) {
            std::fclose(out);
            return fail(argv[1], "cannot write");
        }
        left -= n;
    }
    if (std::fclose(out) != 0) return fail(argv[1], "cannot write");
    std::printf("%llu bytes read (checksum %016llx), %llu bytes written\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(sum),
                bytes);
    return 0;
}
