// Running the built program in a directory, and looking at what it leaves
// there.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace quornax_test {

using names = std::vector<std::string>;

struct run_result {
    int status;        // exit status, or -1 when the program did not exit
    std::string out;   // standard output
    std::string err;   // standard error
    int signal = 0;    // the signal that ended it, if one did
};

// How a child is set up before the program replaces it.
struct child_setup {
    std::string out;  // file for standard output; empty: /dev/null
    std::string err;  // file for standard error; empty: /dev/null
    // Runs in the child after the redirections, in the directory: resource
    // limits, another user, waiting for a start signal and the like.
    std::function<void()> before_exec;
    // The program to run; empty: the one just built.
    std::string program;
};

// A copy of the built program that any user can run, for children that
// become another user: the build folder may lie below a private one. Empty
// where no such place can be made.
std::string program_for_anyone();

// Starts the built program with args in dir; the one fork and exec of the
// tests.
pid_t spawn(const std::string& dir, const names& args,
            const child_setup& setup = {});

// Waits for a spawned child, then reads back and removes its output files.
run_result wait_for(pid_t child, const child_setup& setup = {});

// Runs the program to its end; its output goes to files next to dir, so
// that dir holds only what the program left.
run_result run_binary(const std::string& dir, const names& args,
                      const std::function<void()>& before_exec = {});

// A before_exec step: files cannot grow past this many bytes. SIGXFSZ has
// its default action, which would kill a program that did not ignore it.
std::function<void()> file_size_limit(rlim_t bytes);

// Everything below dir, as paths relative to it, sorted; a directory ends
// in '/'.
names entries_of(const std::string& dir);

// Names of staging files left in dir.
names staging_files_in(const std::string& dir);

}  // namespace quornax_test
