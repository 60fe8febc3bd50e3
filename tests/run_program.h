// Running quornax in a fresh temporary directory, and looking at what it
// leaves there.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace quornax_test {

struct run_result {
    int status;        // exit status, or -1 when the program did not exit
    std::string out;   // standard output
    std::string err;   // standard error
};

// Runs the built program in dir with args; before_exec runs in the child
// (for resource limits and the like).
run_result run_binary(const std::string& dir,
                      const std::vector<std::string>& args,
                      const std::function<void()>& before_exec = {});

// Names of the entries in dir, sorted, without . and ..
std::vector<std::string> entries_of(const std::string& dir);

// Names of staging files left in dir.
std::vector<std::string> staging_files_in(const std::string& dir);

// A fresh temporary directory, made the working directory for the test and
// removed with everything in it afterwards.
class temp_dir_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir + "/" + name; }
    run_result run(const std::vector<std::string>& args,
                   const std::function<void()>& before_exec = {}) {
        return run_binary(dir, args, before_exec);
    }

    std::string dir;

private:
    std::string old_cwd;
};

}  // namespace quornax_test
