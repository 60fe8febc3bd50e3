#include "run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace quornax_test {

namespace {

bool redirect(const std::string& file, int fd) {
    int opened = open(file.empty() ? "/dev/null" : file.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return opened >= 0 && dup2(opened, fd) >= 0 && close(opened) == 0;
}

std::string take(const std::string& file) {
    if (file.empty()) return "";
    std::ifstream in(file, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    unlink(file.c_str());
    return text;
}

}  // namespace

pid_t spawn(const std::string& dir, const names& args,
            const child_setup& setup) {
    const char* program =
        setup.program.empty() ? QUORNAX_BINARY : setup.program.c_str();
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child > 0) return child;
    if (!redirect(setup.out, 1) || !redirect(setup.err, 2) ||
        chdir(dir.c_str()) != 0)
        _exit(127);
    if (setup.before_exec) setup.before_exec();
    execv(program, argv.data());
    _exit(127);
}

run_result wait_for(pid_t child, const child_setup& setup) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) throw std::runtime_error("waitpid failed");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, take(setup.out),
            take(setup.err), WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

run_result run_binary(const std::string& dir, const names& args,
                      const std::function<void()>& before_exec) {
    child_setup setup{dir + ".stdout", dir + ".stderr", before_exec};
    return wait_for(spawn(dir, args, setup), setup);
}

std::string program_for_anyone() {
    static std::string copy;
    if (!copy.empty()) return copy;
    std::string folder = "/tmp/quornax-program-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) return "";
    std::error_code failed;
    fs::copy_file(QUORNAX_BINARY, folder + "/quornax", failed);
    if (failed || chmod(folder.c_str(), 0755) != 0 ||
        chmod((folder + "/quornax").c_str(), 0755) != 0)
        return "";
    copy = folder + "/quornax";
    // Removed when the tests are done.
    static struct remover {
        std::string folder;
        ~remover() {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    } remove_at_exit{folder};
    return copy;
}

std::function<void()> file_size_limit(rlim_t bytes) {
    return [bytes] {
        // SIGXFSZ keeps its default action: the program must not die of it.
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit limit{bytes, bytes};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    };
}

names entries_of(const std::string& dir) {
    names found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        std::string name = entry.path().lexically_relative(dir).string();
        found.push_back(fs::is_directory(entry.symlink_status()) ? name + "/" : name);
    }
    std::sort(found.begin(), found.end());
    return found;
}

names staging_files_in(const std::string& dir) {
    names found;
    for (const std::string& name : entries_of(dir))
        if (name.rfind("_ZX", 0) == 0 && name.size() == 12 &&
            name.substr(7) == "_.@@@")
            found.push_back(name);
    return found;
}

}  // namespace quornax_test
