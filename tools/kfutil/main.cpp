// kfutil: the administrator's keyed-file utility.
#include "tools/kfutil/kfutil.h"

int main(int argc, char** argv) {
    return kfutil_main(argc, argv);
}
