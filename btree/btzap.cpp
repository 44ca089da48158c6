// Resetting an index to empty.
#include "btree/btpriv.h"
#include "platform/fileio.h"

int btzap(btree_handle* h) {
    if (!bt_begin(h)) return BT_FAIL;
    bt_forget_position(h);
    const std::int32_t size = h->sb.page_size;
    h->sb.depth = 1;
    h->sb.root = size;
    h->sb.free_list = BT_NOPAGE;
    h->sb.end = 2 * size;
    h->path.assign(3, bt_path_entry{});
    // Nothing cached survives: those pages are gone.
    bt_pool_init(h);
    if (bt_write_super(h) != 0) return BT_FAIL;
    if (plat::FH_truncate_file(h->fd, 2 * std::int64_t{size}) != 0) return BT_FAIL;
    return bt_write_page(h, size, bt_page{}) == 0 ? BT_OK : BT_FAIL;
}
