// mastdb: the administrators' tool for the master database.
#include "tools/mastdb/mastdb.h"

int main(int argc, char** argv) {
    return mastdb_main(argc, argv);
}
