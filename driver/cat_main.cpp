#include "common/platform.h"
#include "driver/cat.h"

int main(int argc, char** argv) {
    quornax::prepare_standard_streams();
    return quornax::run_quornax_cat(argc, argv);
}
