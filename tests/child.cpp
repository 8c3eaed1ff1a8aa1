#include "tests/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace sw::test {
namespace {
std::string writeTempFile(const std::string& text);
}  // namespace

Child::Child(const ChildOptions& options) {
    int in[2], out[2], err[2];
    for (int* ends : {in, out, err}) {
        if (::pipe(ends) != 0) std::abort();
        ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), options.env.begin(), options.env.end());
    if (!options.scenario.empty()) {
        scenarioPath_ = writeTempFile(options.scenario);
        env.push_back("SELECTION_WATCHER_SCENARIO=" + scenarioPath_);
    }
    std::vector<char*> argv, envp;
    for (auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

#ifdef F_SETPIPE_SZ  // Linux; elsewhere the pipe keeps its size
    if (options.stdoutPipeSize > 0) ::fcntl(out[0], F_SETPIPE_SZ, options.stdoutPipeSize);
#endif
    const char* stderrPath = options.stderrPath.empty() ? nullptr : options.stderrPath.c_str();

    pid_ = ::fork();
    if (pid_ == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        if (options.closeStdin) {
            ::close(0);
        } else {
            ::dup2(in[0], 0);
        }
        ::dup2(out[1], 1);
        if (options.closeStderr) {
            ::close(2);
        } else if (stderrPath != nullptr) {
            const int fd = ::open(stderrPath, O_WRONLY);
            if (fd < 0) ::_exit(127);
            if (fd != 2) {
                ::dup2(fd, 2);
                ::close(fd);
            }
        } else {
            ::dup2(err[1], 2);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
    if (options.closeStdin || options.stdinAtEnd) closeStdin();
}

Child::~Child() {
    if (!scenarioPath_.empty()) ::unlink(scenarioPath_.c_str());
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_}) {
        if (fd >= 0) ::close(fd);
    }
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        if (out_ < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        buffered_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string Child::readStderr() {
    std::string text = std::move(bufferedErr_);
    bufferedErr_.clear();
    char buffer[4096];
    for (ssize_t n; (n = ::read(err_, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
}

std::string Child::readStderrLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bufferedErr_ += readStderr();
        if (const auto end = bufferedErr_.find('\n'); end != std::string::npos) {
            std::string line = bufferedErr_.substr(0, end);
            bufferedErr_.erase(0, end + 1);
            return line;
        }
        if (std::chrono::steady_clock::now() >= deadline) return {};
        pollfd p{err_, POLLIN, 0};
        ::poll(&p, 1, 20);
    }
}

void Child::writeStdin(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void Child::closeStdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void Child::closeStdout() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
}

void Child::closeStderr() {
    if (err_ >= 0) ::close(err_);
    err_ = -1;
}

void Child::signal(int signal) { ::kill(pid_, signal); }

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

namespace {

std::string writeTempFile(const std::string& text) {
    char path[] = "/tmp/sw-scenario-XXXXXX";
    const int fd = ::mkstemp(path);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

}  // namespace

}  // namespace sw::test
