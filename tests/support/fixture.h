// The fixture of every test that touches files: a fresh temporary
// directory as the working directory, and the program-wide state as the
// driver leaves it before a tape, so that in-process tests of the modules
// and runs of the built program start alike.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "run.h"
#include "tap_builder.h"

namespace quornax_test {

class temp_dir_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string& name) const { return dir + "/" + name; }

    run_result run(const names& args,
                   const std::function<void()>& before_exec = {}) {
        return run_binary(dir, args, before_exec);
    }

    // Writes content to a file and opens it as the tape being converted,
    // setting tap_name and tap_size as the driver does.
    void open_tape(const bytes& content, const std::string& name = "t.tap");

    std::string dir;
    int tape_fd = -1;
    std::string tape_name;  // what tap_name points to

private:
    std::string old_cwd;
};

// What the code under test writes to standard output or standard error
// while it lives: the stream is flushed and its descriptor pointed at a
// temporary file, which text() reads back once the stream is restored.
class capture {
public:
    explicit capture(FILE* stream);
    ~capture();
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;

    std::string text();  // ends the capture

private:
    void restore();

    FILE* stream;
    FILE* file;
    int saved;
};

}  // namespace quornax_test
