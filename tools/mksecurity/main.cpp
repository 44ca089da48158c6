// mksecurity: compiles the security rules into the Security file.
#include "tools/mksecurity/mksecurity.h"

int main(int argc, char** argv) {
    return mksecurity_main(argc, argv);
}
