#include "common/platform.h"
#include "driver/driver.h"

#ifdef _WIN32
// cmd.exe passes a pattern such as *.tap on as it is: the C runtime
// expands it into the names it matches, as a POSIX shell does.
extern "C" int _dowildcard = -1;
#endif

int main(int argc, char** argv) {
    quornax::fill_standard_descriptors();
    quornax::prepare_standard_streams();
    quornax::prepare_signals();
    return quornax::run_quornax(argc, argv);
}
