// Closing an index file.
#include <cerrno>

#include "btree/btpriv.h"
#include "platform/fileio.h"

static int close_and_free(btree_handle* raw) {
    std::unique_ptr<btree_handle> h(raw);
    if (!h) return -1;
    int rc = 0;
    if (h->fd >= 0) {
        if (btree_sync(h.get()) != 0) rc = -1;
        const int saved = errno;
        if (plat::FH_close_file(h->fd) != 0)
            rc = -1;
        else if (rc != 0)
            errno = saved;
        h->fd = -1;
    }
    return rc;
}

void btree_closer::operator()(btree_handle* h) const {
    close_and_free(h);
}

int btclose(btree_ptr handle) {
    return close_and_free(handle.release());
}
