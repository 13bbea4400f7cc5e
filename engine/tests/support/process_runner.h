#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Runs a real program for tests: stdin is /dev/null, stdout and stderr are captured
// separately, every wait has a time limit.

struct ProcessResult {
    bool started = false;      // false: the program could not be started (see err)
    bool timed_out = false;    // true: it was killed after the time limit
    int exit_code = -1;        // exit status when it exited normally, else -1
    int term_signal = 0;       // signal that ended it, else 0
    std::string out;           // everything it wrote to standard output
    std::string err;           // everything it wrote to standard error
};

// Extra environment variables; each replaces an inherited variable of the same name.
using ProcessEnv = std::vector<std::pair<std::string, std::string>>;

// A child process that is running while the test talks to it.
// The destructor kills (SIGKILL) and reaps a child that is still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts program (a path) with args (without the program name). False with
    // error text when it could not be started.
    bool start(const std::string &program, const std::vector<std::string> &args,
               const ProcessEnv &env, std::string &error);

    pid_t pid() const { return pid_; }

    // Waits until standard output (or standard error) contains text; false after timeout
    // or when the stream was closed without it.
    bool wait_for_stdout(const std::string &text, std::chrono::milliseconds timeout);
    bool wait_for_stderr(const std::string &text, std::chrono::milliseconds timeout);

    // Snapshots of what was captured so far.
    std::string stdout_text() const;
    std::string stderr_text() const;

    bool send_signal(int signal_number);

    // Waits for the end; after timeout the child is killed and timed_out is set.
    // Collects the remaining output. Call once.
    ProcessResult wait(std::chrono::milliseconds timeout);

private:
    bool wait_for(const std::string &text, bool from_stdout, std::chrono::milliseconds timeout);
    void read_pipe(int fd, bool is_stdout);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::thread out_reader_;
    std::thread err_reader_;
    // mutex_ guards out_, err_, out_closed_, err_closed_, reader_stop_.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool out_closed_ = false;
    bool err_closed_ = false;
    bool reader_stop_ = false;     // child reaped: readers give up after a grace time
};

// Starts program, waits for it (at most timeout) and returns what it did.
ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30),
                          const ProcessEnv &env = {});

// Path of a program built into the bin folder, e.g. bin_path("kby_nuvix").
std::string bin_path(const std::string &name);
