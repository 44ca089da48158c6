// Error texts.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "btree/btree.h"

namespace {

constexpr const char* kTexts[] = {
    "no btree error",           "btree key too big",      "zero sized btree key",
    "duplicate btree key",      "invalid btree pointer",  "insufficient btree buffers",
    "btree label too big",      "btree buffer too small", "btree page is corrupt",
    "cannot search btree page", "invalid btree argument", "refresh was called with dirty buffers",
};
constexpr int kTextCount = static_cast<int>(sizeof kTexts / sizeof kTexts[0]);

}  // namespace

const char* bterror_text(const btree_handle* h) {
    if (h == nullptr) return "No comarea";
    if (h->error == BTE_NONE && errno != 0) return std::strerror(errno);
    if (h->error < 0 || h->error >= kTextCount) return "unknown btree error";
    return kTexts[h->error];
}

void btperror(const btree_handle* h, const char* msg) {
    const char* text = h == nullptr ? "cannot open" : bterror_text(h);
    if (msg == nullptr || *msg == '\0') {
        std::fprintf(stderr, "%s\n", text);
    } else {
        std::fprintf(stderr, "%s: %s\n", msg, text);
    }
}
