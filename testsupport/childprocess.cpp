#include "childprocess.h"

#include <chrono>
#include <csignal>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

ChildProcess::ChildProcess(const std::string &path, const std::vector<std::string> &args,
                           std::vector<std::string> env, bool with_stderr)
{
    // Everything the child needs is made before the fork: tests run threads.
    std::vector<std::string> argv_s = { path };
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    char **child_env = env.empty() ? environ : envp.data();

    int out[2];
    if (pipe(out) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        if (with_stderr)
            dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        execve(argv[0], argv.data(), child_env);
        _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && status_ < 0)
        stop(SIGKILL);
    if (fd_ >= 0)
        close(fd_);
}

std::string ChildProcess::await(const std::string &prefix, int timeout_ms)
{
    const int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t start = 0;
        for (size_t nl; (nl = output_.find('\n', start)) != std::string::npos; start = nl + 1) {
            if (output_.compare(start, prefix.size(), prefix) == 0 && start >= seen_) {
                seen_ = nl + 1;
                return output_.substr(start + prefix.size(), nl - start - prefix.size());
            }
        }
        if (!read_some(deadline))
            return "<no line \"" + prefix + "\" in: " + output_ + ">";
    }
}

int ChildProcess::stop(int sig)
{
    if (status_ >= 0 || pid_ <= 0)
        return status_;
    kill(pid_, sig);
    return wait();
}

int ChildProcess::wait()
{
    int st = 0;
    if (waitpid(pid_, &st, 0) != pid_)
        return -1;
    while (read_some(now_ms() + 1000)) {
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
}

bool ChildProcess::read_some(int64_t deadline)
{
    const int64_t left = deadline - now_ms();
    pollfd p = { fd_, POLLIN, 0 };
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
        return false;
    char buf[4096];
    const ssize_t r = read(fd_, buf, sizeof buf);
    if (r <= 0)
        return false;
    output_.append(buf, static_cast<size_t>(r));
    return true;
}
