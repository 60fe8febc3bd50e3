// The fresh temporary directory of every test that touches files; on every
// system, so that the unit tests run on Windows too.
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

#include "run_program.h"

namespace fs = std::filesystem;

namespace quornax_test {

void temp_dir_test::SetUp() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             ("quornax-test-" + std::to_string(random() % 1000000000));
        if (fs::create_directory(candidate)) dir = candidate.string();
    }
    if (dir.empty()) throw std::runtime_error("no temporary directory");
    // Private, as mkdtemp would make it.
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    old_cwd = fs::current_path().string();
    fs::current_path(dir);
}

void temp_dir_test::TearDown() {
    fs::current_path(old_cwd);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace quornax_test
