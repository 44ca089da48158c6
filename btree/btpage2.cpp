// Operations that rebuild a page: removing an entry and splitting.
#include "btree/btpriv.h"

bool bt_page_remove_entry(bt_page* pg, int j) {
    const int count = pg->count();
    if (j < 0 || j > count || count == 0 || (j == count && pg->leaf())) return false;
    if (j == count) {
        // Entered through the high pointer: the last key's child takes its place.
        pg->high = pg->ptrs.back();
        pg->erase(count - 1);
    } else {
        pg->erase(j);
    }
    return true;
}

static void copy_range(const bt_page& from, int first, int last, bt_page* to) {
    to->clear_keys();
    for (int i = first; i < last; ++i)
        to->insert(to->count(), from.key(i), from.key_len(i),
                   from.ptrs[static_cast<std::size_t>(i)]);
}

bool bt_page_split(const bt_page& merged, std::int32_t page_size, bt_page* left, bt_page* right,
                   std::vector<std::uint8_t>* separator) {
    const int count = merged.count();
    const std::int64_t threshold = page_size / 2;
    int split = -1;
    std::int64_t copied = 0;
    for (int i = 0; i < count; ++i) {
        copied += merged.key_len(i);
        if (copied + 8 * std::int64_t{i} + 24 > threshold) {
            split = i;
            break;
        }
    }
    // A page too full to take a key always passes the threshold before its
    // last key, so both halves keep keys; anything else means bad input.
    if (split < 0 || split >= count - 1) return false;

    separator->assign(merged.key(split), merged.key(split) + merged.key_len(split));
    if (merged.leaf()) {
        copy_range(merged, 0, split + 1, left);
        left->high = BT_NOPAGE;
        right->high = BT_NOPAGE;
    } else {
        copy_range(merged, 0, split, left);
        left->high = merged.ptrs[static_cast<std::size_t>(split)];
        right->high = merged.high;
    }
    copy_range(merged, split + 1, count, right);
    return true;
}
