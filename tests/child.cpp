#include "tests/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <utility>

namespace sw::test {

std::string scenario(const std::string& extra) {
    return "app 501 org.mozilla.firefox\napp 502 com.apple.TextEdit\napp 503 com.google.Chrome\n"
           "front 501\ntext 501 hello world\nbounds 501 10.5 -3.5 100.4 20.6\n" + extra;
}

Child::Child(const std::string& scenarioText, const ChildOptions& options) {
    char path[] = "/tmp/sw-scenario-XXXXXX";
    const int file = ::mkstemp(path);
    if (file < 0 || ::write(file, scenarioText.data(), scenarioText.size()) < 0) std::abort();
    ::close(file);
    scenarioPath_ = path;

    int in[2], out[2], err[2];
    for (int* ends : {in, out, err}) {
        if (::pipe(ends) != 0) std::abort();
        for (int i : {0, 1}) ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
    }
    if (options.nonBlockingStdin) ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    if (options.nonBlockingStdout) ::fcntl(out[1], F_SETFL, O_NONBLOCK);
    ::setenv("SELECTION_WATCHER_SCENARIO", path, 1);  // on the test's main thread, before fork
    pid_ = ::fork();
    if (pid_ == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (options.noStdin) ::close(0);
        if (options.stderrPath != nullptr) {
            const int fd = ::open(options.stderrPath, O_WRONLY);
            if (fd < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
        }
        ::execl(SW_SIM_EXE, SW_SIM_EXE, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_.fd = out[0];
    err_.fd = err[0];
    if (options.stdinAtEnd || options.noStdin) closeStdin();
}

Child::~Child() {
    ::unlink(scenarioPath_.c_str());
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_.fd, err_.fd}) ::close(fd);
}

std::optional<std::string> Child::line(Stream& stream, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = stream.pending.find('\n'); end != std::string::npos) {
            std::string line = stream.pending.substr(0, end);
            stream.pending.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{stream.fd, POLLIN, 0};
        if (stream.fd < 0 || left.count() <= 0) return std::nullopt;
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[65536];
        const ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        stream.pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> Child::readLine(milliseconds timeout) { return line(out_, timeout); }
std::string Child::readStderrLine(milliseconds timeout) {
    return line(err_, timeout).value_or("(none)");
}

void Child::writeStdin(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void Child::closeStdin() { ::close(std::exchange(in_, -1)); }
void Child::closeStdout() { ::close(std::exchange(out_.fd, -1)); }
void Child::closeStderr() { ::close(std::exchange(err_.fd, -1)); }
void Child::step() { ::kill(pid_, SIGUSR1); }

std::string Child::ending(milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline) return "running";
        std::this_thread::sleep_for(milliseconds(2));
    }
    reaped_ = true;
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    return "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace sw::test
