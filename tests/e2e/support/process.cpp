// process.cpp - child processes with pipes, a poll loop and a deadline.

#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void close_fd(int &fd)
{
    if (fd >= 0) close(fd);
    fd = -1;
}

void append_option(const char *name, const std::string &option)
{
    const char *old = getenv(name);
    setenv(name, (std::string(old ? old : "") + ":" + option).c_str(), 1);
}

[[noreturn]] void exec_child(const std::vector<std::string> &args, const ProcOptions &opts,
                             int in, int out, int err)
{
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    // A sanitizer report must never pass for one of the server's own exit
    // statuses (its default is 1, the server's usual failure). Stacks are not
    // leak roots: a path that calls exit() deep inside the server would
    // otherwise hide what main's locals still own.
    append_option("ASAN_OPTIONS", "exitcode=23");
    append_option("LSAN_OPTIONS", "use_stacks=0:use_registers=0");
    for (const std::string &e : opts.env) putenv(strdup(e.c_str()));
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

Child::Child(const std::vector<std::string> &args, ProcOptions opts)
    : opts_(std::move(opts)), deadline_(std::chrono::steady_clock::now() + opts_.limit)
{
    // A child that stops reading must not kill the test runner.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int sock = opts_.socket;
        exec_child(args, opts_, sock >= 0 ? sock : in[0], sock >= 0 ? sock : out[1], err[1]);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (opts_.socket >= 0) {
        close_fd(in_);
        close(opts_.socket);  // the child's end now lives only in the child
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0) fcntl(fd, F_SETFL, O_NONBLOCK);
}

Child::~Child()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
}

ProcResult Child::finish()
{
    ProcResult r;
    std::size_t written = 0;
    if (opts_.input.empty()) close_fd(in_);
    while (out_ >= 0 || err_ >= 0 || in_ >= 0) {
        const long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline_ - std::chrono::steady_clock::now()).count();
        pollfd fds[3] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (left <= 0 || (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR)) break;
        if (fds[0].revents != 0) {
            const ssize_t n = write(in_, opts_.input.data() + written, opts_.input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            // A child that stops reading early (a refused request) ends the input.
            if ((n < 0 && errno != EAGAIN) || written == opts_.input.size()) close_fd(in_);
        }
        for (int i : {1, 2}) {
            char buf[65536];
            int &fd = i == 1 ? out_ : err_;
            const ssize_t n = fds[i].revents != 0 ? read(fd, buf, sizeof buf) : -2;
            if (n > 0) (i == 1 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
            if (n == 0 || (n == -1 && errno != EAGAIN)) close_fd(fd);
        }
    }
    close_fd(in_);
    // The output is closed, so the exit follows; the deadline still holds.
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline_) {
            r.timed_out = true;
            kill(pid_, SIGKILL);
        }
        usleep(2000);
    }
    reaped_ = true;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

void PrintTo(const ProcResult &r, std::ostream *os)
{
    *os << "{status " << r.status << (r.timed_out ? " (timed out)" : "") << ", out \"" << r.out
        << "\", err \"" << r.err << "\"}";
}

std::vector<std::string> server_argv(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{QUILLET_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ProcResult run_server(const std::vector<std::string> &args, ProcOptions opts)
{
    Child child(server_argv(args), std::move(opts));
    return child.finish();
}
