// Looking a key up.
#include "btree/btpriv.h"

int btfind(btree_handle* h, const void* key, int key_len, std::int32_t* value) {
    if (!bt_begin(h)) return BT_FAIL;
    if (!bt_key_ok(h, key, key_len)) return BT_FAIL;
    bt_forget_position(h);
    bt_leaf_hit hit;
    if (bt_seek(h, static_cast<const std::uint8_t*>(key), key_len, &hit) != 0) return BT_FAIL;
    h->cur_page = hit.leaf;
    if (hit.found) {
        h->cur_index = hit.pos;
        if (value) *value = hit.ptr;
        return BT_OK;
    }
    h->cur_index = hit.pos - 1;
    return BT_NOT_FOUND;
}
