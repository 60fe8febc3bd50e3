#include "common/platform.h"
#include "driver/driver.h"

int main(int argc, char** argv) {
    quornax::fill_standard_descriptors();
    quornax::prepare_standard_streams();
    quornax::prepare_signals();
    return quornax::run_quornax(argc, argv);
}
