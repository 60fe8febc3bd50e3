// In-process tests of the modules: a work buffer, a fresh working directory
// and the program-wide state reset, as the driver would leave it.
#pragma once

#include <cstdio>
#include <string>

#include "common/common.h"
#include "driver/driver.h"
#include "tap/tap_reader.h"
#include "trd/staging.h"
#include "run_program.h"
#include "tap_builder.h"

namespace quornax_test {

class unit_test : public temp_dir_test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes content to a file, opens it as the current tape and sets
    // tap_name and tap_size as the driver does.
    FILE* open_tape(const bytes& content, const std::string& name = "t.tap");

    FILE* tape = nullptr;
    std::string tape_name;  // what tap_name points to
};

}  // namespace quornax_test
