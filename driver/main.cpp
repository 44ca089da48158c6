// The schedule-selection program.
#include "driver/korvex.h"

int main(int argc, char** argv) {
    return korvex_main(argc, argv);
}
