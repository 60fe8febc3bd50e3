// Runs a command and writes its wall time, exit status, peak resident
// memory and processor time (user and system) to a file:
// "SECONDS STATUS MAXRSS_KIB CPU_SECONDS".
//
// The peak resident memory that the kernel reports for a child includes
// what the child held before it replaced itself with the command, that is a
// copy of the parent. Measured from a big parent (an interpreter) it says
// more about the parent than about the command; this small static program
// keeps that share below what any command needs.
//
// Usage: measure RESULT_FILE COMMAND [ARGUMENT...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: measure RESULT_FILE COMMAND [ARGUMENT...]\n",
                   stderr);
        return 2;
    }
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds =
        (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE* result = std::fopen(argv[1], "w");
    if (result == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::fprintf(result, "%.6f %d %ld %.6f\n", seconds, code, usage.ru_maxrss,
                 cpu);
    return std::fclose(result) == 0 ? 0 : 2;
}
