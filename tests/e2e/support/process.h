// process.h - runs the server binary as a child process with a time limit
// and captures what it writes.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

struct ProcResult {
    int status = -1;         // exit status, or 128 + signal number
    bool timed_out = false;  // killed at the time limit
    std::string out, err;

    bool operator==(const ProcResult &) const = default;
};
void PrintTo(const ProcResult &r, std::ostream *os);

struct ProcOptions {
    std::string input;               // written to standard input, then closed
    std::vector<std::string> env;    // "NAME=value" entries added to the environment
    int socket = -1;                 // when set, standard input and output are this socket
                                     // (the child takes it over: the caller's copy is closed)
    std::chrono::milliseconds limit{10000};
};

// A started child. finish() writes the rest of the input, collects the
// output and reaps it; a child still running at its deadline is killed.
class Child {
public:
    Child(const std::vector<std::string> &args, ProcOptions opts);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    ProcResult finish();

private:
    ProcOptions opts_;
    std::chrono::steady_clock::time_point deadline_;
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool reaped_ = false;
};

// Options with only standard input set.
inline ProcOptions with_input(std::string input)
{
    ProcOptions o;
    o.input = std::move(input);
    return o;
}

// The server binary with `args` after its name.
ProcResult run_server(const std::vector<std::string> &args, ProcOptions opts = {});
std::vector<std::string> server_argv(const std::vector<std::string> &args);
