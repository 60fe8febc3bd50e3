#include "driver/driver.h"

int main(int argc, char** argv) {
    quornax::prepare_signals();
    return quornax::run_quornax(argc, argv);
}
