#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace {

// Time the readers get to see the end of their pipe after the child was reaped
// (a grandchild could keep a pipe open).
const std::chrono::milliseconds READER_GRACE(2000);

std::vector<std::string> merged_environment(const ProcessEnv &extra)
{
    std::vector<std::string> result;
    for (char **entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto &kv : extra)
            replaced = replaced || kv.first == name;
        if (!replaced)
            result.push_back(text);
    }
    for (const auto &kv : extra)
        result.push_back(kv.first + "=" + kv.second);
    return result;
}

std::vector<char *> c_pointers(std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    for (auto &t : texts)
        pointers.push_back(&t[0]);
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && !reaped_) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reader_stop_ = true;
    }
    if (out_reader_.joinable())
        out_reader_.join();
    if (err_reader_.joinable())
        err_reader_.join();
}

bool ChildProcess::start(const std::string &program, const std::vector<std::string> &args,
                         const ProcessEnv &env, std::string &error)
{
    int out_pipe[2];
    int err_pipe[2];
    // O_CLOEXEC: children that other threads start meanwhile must not inherit our pipes.
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Own process group, so a time-out kill also reaches anything the child started.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argv_texts;
    argv_texts.push_back(program);
    argv_texts.insert(argv_texts.end(), args.begin(), args.end());
    std::vector<std::string> env_texts = merged_environment(env);
    std::vector<char *> argv = c_pointers(argv_texts);
    std::vector<char *> envp = c_pointers(env_texts);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (rc != 0) {
        error = "cannot start " + program + ": " + std::strerror(rc);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        return false;
    }
    pid_ = pid;
    int out_fd = out_pipe[0];
    int err_fd = err_pipe[0];
    out_reader_ = std::thread([this, out_fd] { read_pipe(out_fd, true); });
    err_reader_ = std::thread([this, err_fd] { read_pipe(err_fd, false); });
    return true;
}

void ChildProcess::read_pipe(int fd, bool is_stdout)
{
    char buffer[4096];
    auto reaped_at = std::chrono::steady_clock::time_point();
    for (;;) {
        pollfd p {fd, POLLIN, 0};
        int ready = ::poll(&p, 1, 50);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> lock(mutex_);
            (is_stdout ? out_ : err_).append(buffer, static_cast<size_t>(n));
            changed_.notify_all();
            continue;
        }
        bool closed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed = reader_stop_;
        }
        if (closed) {
            auto now = std::chrono::steady_clock::now();
            if (reaped_at == std::chrono::steady_clock::time_point())
                reaped_at = now;
            else if (now - reaped_at > READER_GRACE)
                break;
        }
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    (is_stdout ? out_closed_ : err_closed_) = true;
    changed_.notify_all();
}

bool ChildProcess::wait_for(const std::string &text, bool from_stdout,
                            std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const std::string &captured = from_stdout ? out_ : err_;
        bool closed = from_stdout ? out_closed_ : err_closed_;
        return captured.find(text) != std::string::npos || closed;
    }) && (from_stdout ? out_ : err_).find(text) != std::string::npos;
}

bool ChildProcess::wait_for_stdout(const std::string &text, std::chrono::milliseconds timeout)
{
    return wait_for(text, true, timeout);
}

bool ChildProcess::wait_for_stderr(const std::string &text, std::chrono::milliseconds timeout)
{
    return wait_for(text, false, timeout);
}

std::string ChildProcess::stdout_text() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string ChildProcess::stderr_text() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

bool ChildProcess::send_signal(int signal_number)
{
    return pid_ > 0 && !reaped_ && ::kill(pid_, signal_number) == 0;
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds timeout)
{
    ProcessResult result;
    if (pid_ <= 0) {
        result.err = "not started";
        return result;
    }
    result.started = true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = status;
            reaped_ = true;
            break;
        }
        if (done < 0 && errno != EINTR)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timed_out = true;
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = status;
            reaped_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reader_stop_ = true;
    }
    if (out_reader_.joinable())
        out_reader_.join();
    if (err_reader_.joinable())
        err_reader_.join();
    if (reaped_ && WIFEXITED(status_))
        result.exit_code = WEXITSTATUS(status_);
    if (reaped_ && WIFSIGNALED(status_))
        result.term_signal = WTERMSIG(status_);
    std::lock_guard<std::mutex> lock(mutex_);
    result.out = out_;
    result.err = err_;
    return result;
}

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          std::chrono::milliseconds timeout, const ProcessEnv &env)
{
    ChildProcess child;
    std::string error;
    if (!child.start(program, args, env, error)) {
        ProcessResult result;
        result.err = error;
        return result;
    }
    return child.wait(timeout);
}

std::string bin_path(const std::string &name)
{
    return std::string(NUVIX_BIN_DIR) + "/" + name;
}
