// process.cpp - child processes with pipes, a poll loop and a deadline.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>

#include "e2e.h"

namespace {

void append_option(const char *name, const std::string &option)
{
    const char *old = getenv(name);
    setenv(name, (std::string(old ? old : "") + ":" + option).c_str(), 1);
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
        dup2(opts_.socket >= 0 ? opts_.socket : in[0], STDIN_FILENO);
        dup2(opts_.socket >= 0 ? opts_.socket : out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        // The server starts as inetd or a shell would start it, with
        // SIGPIPE at its default, not with the runner's disposition.
        signal(SIGPIPE, SIG_DFL);
        // A sanitizer report must never pass for one of the server's own
        // exit statuses (its default is 1, the server's usual failure).
        // Stacks are not leak roots: a path that calls exit() deep inside
        // the server would otherwise hide what main's locals still own.
        append_option("ASAN_OPTIONS", "exitcode=23");
        append_option("LSAN_OPTIONS", "use_stacks=0:use_registers=0");
        for (const std::string &e : opts_.env) putenv(strdup(e.c_str()));
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_.reset(in[1]);
    out_.reset(out[0]);
    err_.reset(err[0]);
    if (opts_.socket >= 0) {
        in_.reset();
        close(opts_.socket);  // the child's end now lives only in the child
    }
    for (const Fd *fd : {&in_, &out_, &err_})
        if (fd->get() >= 0) fcntl(fd->get(), F_SETFL, O_NONBLOCK);
}

Child::~Child()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

ProcResult Child::finish()
{
    ProcResult r;
    std::size_t written = 0;
    if (opts_.input.empty()) in_.reset();
    while (out_.get() >= 0 || err_.get() >= 0 || in_.get() >= 0) {
        const long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline_ - std::chrono::steady_clock::now()).count();
        pollfd fds[3] = {{in_.get(), POLLOUT, 0}, {out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
        if (left <= 0 || (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR)) break;
        if (fds[0].revents != 0) {
            const std::string_view rest = std::string_view(opts_.input).substr(written);
            const ssize_t n = write(in_.get(), rest.data(), rest.size());
            if (n > 0) written += static_cast<std::size_t>(n);
            // A child that stops reading early (a refused request) ends the input.
            if ((n < 0 && errno != EAGAIN) || written == opts_.input.size()) in_.reset();
        }
        for (int i : {1, 2}) {
            char buf[65536];
            Fd &fd = i == 1 ? out_ : err_;
            const ssize_t n = fds[i].revents != 0 ? read(fd.get(), buf, sizeof buf) : -2;
            if (n > 0) (i == 1 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
            if (n == 0 || (n == -1 && errno != EAGAIN)) fd.reset();
        }
    }
    in_.reset();
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

::testing::AssertionResult run_tool(const std::vector<std::string> &argv, std::string_view input,
                                    std::string *out, std::chrono::milliseconds limit)
{
    const ProcResult r = Child(argv, with_input(std::string(input), limit)).finish();
    *out = r.out;
    if (r.timed_out) return ::testing::AssertionFailure() << argv[0] << " timed out";
    if (r.status == 127) return ::testing::AssertionFailure() << argv[0] << " is not installed";
    if (r.status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << argv[0] << " exited with status " << r.status << ": " << r.err;
}
