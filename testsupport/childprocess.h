// A program under test, started as a child with its output on a pipe, so
// that a test can wait for a line it prints, stop it and read its exit status.
#ifndef USTEST_TESTS_CHILDPROCESS_H
#define USTEST_TESTS_CHILDPROCESS_H

#include <csignal>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    // env: the child's whole environment, or empty for this process's own.
    // with_stderr: its diagnostics join the output too.
    ChildProcess(const std::string &path, const std::vector<std::string> &args,
                 std::vector<std::string> env = {}, bool with_stderr = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Reads output until a new line starts with prefix; returns the rest of
    // it, or a text saying what came instead when none does in time.
    std::string await(const std::string &prefix, int timeout_ms = 10000);

    // Sends sig and waits for the exit; returns the exit status (or -1).
    int stop(int sig = SIGTERM);
    // Waits for the exit: its status, 128 + the signal for a killed one, -1 on failure.
    int wait();

    const std::string &output() const { return output_; }
    pid_t pid() const { return pid_; }

private:
    bool read_some(int64_t deadline);

    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
    std::string output_;
    size_t seen_ = 0;
};

#endif
