#include "sim_process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace simtest {

std::string SimProgram()
{
#ifdef T4700_SIM_PATH
    return T4700_SIM_PATH;
#else
    const char* dir = std::getenv("VENDAXO_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/sim/t4700-sim";
#endif
}

SimProcess::SimProcess(const std::vector<std::string>& args)
{
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
        ::pipe2(in, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const std::string program = SimProgram();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
}

SimProcess::~SimProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_, in_})
        if (fd >= 0)
            ::close(fd);
}

void SimProcess::Drain(int fd, std::string& into, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    while (fd >= 0 && ::poll(&p, 1, timeout_ms) > 0) {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        into.append(buf, static_cast<std::size_t>(n));
        timeout_ms = 0;
    }
}

bool SimProcess::Input(const std::string& text)
{
    // A program that has ended must fail the test, not end it.
    std::signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (in_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return in_ >= 0;
}

std::string SimProcess::WaitReady(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const std::size_t nl = out_text_.find('\n');
        if (nl != std::string::npos)
            return out_text_.starts_with("ready ") ? out_text_.substr(6, nl - 6) : std::string();
        const std::size_t before = out_text_.size();
        Drain(out_, out_text_, 20);
        siginfo_t info{};
        if (out_text_.size() == before && pid_ > 0 &&
            ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_)
            return {}; // ended; Wait() collects the status

    }
    return {};
}

void SimProcess::Signal(int sig)
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

int SimProcess::Wait(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (pid_ > 0) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            Drain(out_, out_text_, 0);
            Drain(err_, err_text_, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        Drain(out_, out_text_, 0);
        Drain(err_, err_text_, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string SimProcess::Stdout()
{
    Drain(out_, out_text_, 0);
    return out_text_;
}

std::string SimProcess::Stderr()
{
    Drain(err_, err_text_, 0);
    return err_text_;
}

SimRun RunSim(const std::vector<std::string>& args)
{
    SimProcess p(args);
    SimRun run;
    run.status = p.Wait();
    run.out = p.Stdout();
    run.err = p.Stderr();
    return run;
}

} // namespace simtest
