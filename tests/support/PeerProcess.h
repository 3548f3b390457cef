// Two programs talking over a line made in this process: each runs as a child on one end of
// a socket pair, and a relay thread copies the bytes between them, counting them, optionally
// at a line rate and optionally cutting the line after a number of bytes. Used by the
// interoperability tests and the transfer benchmark.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// One child process with its standard input and output on `fd`; killed and reaped when it
// goes away, so a hung peer never outlives its test.
class PeerProcess {
  public:
    // Everything the child needs is prepared before the fork: other threads run while the
    // child starts, so the child calls nothing that may take a lock.
    PeerProcess(const std::filesystem::path& folder, const std::vector<std::string>& argv, int fd,
                const std::filesystem::path& log) {
        std::string program = Resolve(argv.at(0));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        // Both ends read file dates the same way whatever zone the machine is in.
        std::vector<std::string> environment{"TZ=UTC", "PATH=/usr/bin:/bin"};
        std::vector<char*> env;
        for (std::string& e : environment)
            env.push_back(e.data());
        env.push_back(nullptr);
        int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fd, 0);
            ::dup2(fd, 1);
            if (err >= 0)
                ::dup2(err, 2);
            if (::chdir(folder.c_str()) != 0)
                ::_exit(126);
            ::execve(program.c_str(), args.data(), env.data());
            ::_exit(127);
        }
        if (err >= 0)
            ::close(err);
    }
    ~PeerProcess() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The exit status (128 + signal when killed by one), or -1 when the child did not end
    // by the deadline (it is then killed).
    int Wait(std::chrono::steady_clock::time_point deadline) {
        while (!m_reaped && m_pid > 0) {
            int status = 0;
            rusage usage{};
            pid_t got = ::wait4(m_pid, &status, WNOHANG, &usage);
            if (got == m_pid) {
                m_reaped = true;
                m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                m_cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
                m_ended = std::chrono::steady_clock::now();
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
                m_reaped = true;
                m_exit = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return m_exit;
    }
    double CpuSeconds() const { return m_cpuSeconds; }
    std::chrono::steady_clock::time_point Ended() const { return m_ended; }

  private:
    static double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }
    static std::string Resolve(const std::string& name) {
        if (name.find('/') != std::string::npos)
            return name;
        for (const char* folder : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
            std::string path = folder + name;
            if (::access(path.c_str(), X_OK) == 0)
                return path;
        }
        return name;
    }

    pid_t m_pid{-1};
    bool m_reaped{false};
    int m_exit{-1};
    double m_cpuSeconds{0};
    std::chrono::steady_clock::time_point m_ended{};
};

// Copies bytes between the two ends until both are done, the relay is stopped, or the line
// is cut after `cutAfter` bytes from the first end. With a rate, each direction carries at
// most that many bytes per second.
class ByteRelay {
  public:
    ByteRelay(int first, int second, long cutAfter = -1, long bytesPerSecond = 0)
        : m_thread{[=, this] { Run(first, second, cutAfter, bytesPerSecond); }} {}
    ~ByteRelay() {
        stop = true;
        m_thread.join();
    }
    ByteRelay(const ByteRelay&) = delete;
    ByteRelay& operator=(const ByteRelay&) = delete;

    std::atomic<long> fromFirst{0}, fromSecond{0};
    std::atomic<bool> stop{false}, cut{false};

  private:
    void Run(int a, int b, long cutAfter, long rate) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        unsigned char buffer[65536];
        bool open[2]{true, true};
        long moved[2]{0, 0};
        while (!stop && (open[0] || open[1])) {
            // A closed side is left out of the poll: its hang-up would be reported for ever.
            pollfd fds[2]{{open[0] ? a : -1, POLLIN, 0}, {open[1] ? b : -1, POLLIN, 0}};
            if (::poll(fds, 2, 20) <= 0)
                continue;
            for (int side = 0; side < 2; ++side) {
                if (!(fds[side].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const int from = side == 0 ? a : b, to = side == 0 ? b : a;
                long room = sizeof buffer;
                if (side == 0 && cutAfter >= 0)
                    room = std::min(room, cutAfter - moved[0]);
                if (rate > 0) {
                    // The line's clock: never ahead of what the rate allows by now, give or
                    // take one UART's worth of bytes.
                    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
                    long allowed = static_cast<long>(elapsed * rate) + 16 - moved[side];
                    if (allowed <= 0) {
                        std::this_thread::sleep_for(std::chrono::microseconds(500));
                        continue;
                    }
                    room = std::min(room, allowed);
                }
                ssize_t n = room > 0 ? ::read(from, buffer, static_cast<std::size_t>(room)) : 0;
                if (n > 0 && WriteAll(to, buffer, n)) {
                    moved[side] += n;
                    (side == 0 ? fromFirst : fromSecond) += n;
                } else if (n >= 0 || errno != EAGAIN) {
                    // One side is gone: the other sees the end of its input.
                    open[side] = false;
                    ::shutdown(to, SHUT_WR);
                }
                if (side == 0 && cutAfter >= 0 && moved[0] >= cutAfter) {
                    // The line goes dead at both ends at once.
                    cut = true;
                    ::shutdown(a, SHUT_RDWR);
                    ::shutdown(b, SHUT_RDWR);
                    return;
                }
            }
        }
    }
    static bool WriteAll(int fd, const unsigned char* data, ssize_t length) {
        while (length > 0) {
            // A peer that is gone must not take this process down with SIGPIPE.
            ssize_t n = ::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK)
                n = ::write(fd, data, static_cast<std::size_t>(length));
            if (n <= 0)
                return false;
            data += n;
            length -= n;
        }
        return true;
    }

    std::thread m_thread;
};

} // namespace testsupport
