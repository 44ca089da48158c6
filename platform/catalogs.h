// X/Open message catalogs over the C library's catopen/catgets.
#pragma once

namespace plat {

using catalog_t = void*;
// The failure marker returned by catalog_open (as catopen's (nl_catd)-1).
catalog_t catalog_failed();
catalog_t catalog_open(const char* name, int flag);
// Returns the text or nullptr when the catalog holds none (errno set).
const char* catalog_get(catalog_t cat, int set, int number);
int catalog_close(catalog_t cat);

}  // namespace plat
