#include "run_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace quornax_test {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in),
                       std::istreambuf_iterator<char>());
}

[[noreturn]] void exec_child(const std::string& dir,
                             const std::vector<std::string>& args,
                             const std::string& out, const std::string& err,
                             const std::function<void()>& before_exec) {
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (before_exec) before_exec();
    std::vector<char*> argv{const_cast<char*>(QUORNAX_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(QUORNAX_BINARY, argv.data());
    _exit(127);
}

}  // namespace

run_result run_binary(const std::string& dir,
                      const std::vector<std::string>& args,
                      const std::function<void()>& before_exec) {
    // Output goes next to the directory, not into it, so that the directory
    // holds only what the program left.
    std::string out = dir + ".stdout", err = dir + ".stderr";
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) exec_child(dir, args, out, err, before_exec);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    run_result result{WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1,
                      slurp(out), slurp(err)};
    unlink(out.c_str());
    unlink(err.c_str());
    return result;
}

std::vector<std::string> entries_of(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> staging_files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const std::string& name : entries_of(dir))
        if (name.rfind("_ZX", 0) == 0 && name.size() == 12 &&
            name.substr(7) == "_.@@@")
            names.push_back(name);
    return names;
}

}  // namespace quornax_test
