#include <cstdio>

#include "driver/driver.h"

int main(int argc, char** argv) {
    // Keep the listing in step with the messages on standard error when
    // both go to the same place.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return quornax::run_quornax(argc, argv);
}
