#include "platform/catalogs.h"

#include <nl_types.h>

#include <cerrno>

namespace plat {

namespace {

// catgets hands back its default text when it has none of its own; a default
// that no catalog can hold tells the two cases apart.
const char kNoText[] = "\x01no catalog text\x01";

nl_catd to_catd(catalog_t cat) {
    return static_cast<nl_catd>(cat);
}

}  // namespace

catalog_t catalog_failed() {
    return static_cast<catalog_t>(reinterpret_cast<nl_catd>(-1));
}

catalog_t catalog_open(const char* name, int flag) {
    if (name == nullptr) {
        errno = EINVAL;
        return catalog_failed();
    }
    return static_cast<catalog_t>(::catopen(name, flag));
}

const char* catalog_get(catalog_t cat, int set, int number) {
    if (cat == nullptr || cat == catalog_failed()) {
        errno = EBADF;
        return nullptr;
    }
    const char* text = ::catgets(to_catd(cat), set, number, kNoText);
    if (text == kNoText) {
        if (errno == 0) errno = ENOMSG;
        return nullptr;
    }
    return text;
}

int catalog_close(catalog_t cat) {
    if (cat == nullptr || cat == catalog_failed()) {
        errno = EBADF;
        return -1;
    }
    return ::catclose(to_catd(cat));
}

}  // namespace plat
