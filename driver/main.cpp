#include <cstdio>

#include "driver/driver.h"

int main(int argc, char** argv) {
    return quornax::run_quornax(argc, argv);
}
