// A pseudo-terminal pair for serial tests: the test holds the master end and maps the slave
// device as a COM port in the temporary machine hive, so no real serial device is touched.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/Registry.h"

namespace testsupport {

class PtyPair {
  public:
    PtyPair() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        const char* name = ::ptsname(m_master);
        if (!name)
            throw std::runtime_error("ptsname failed");
        m_slavePath = name;
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int Master() const { return m_master; }
    void CloseMaster() {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // Writes all of `data` to the master end (what the "modem" sends).
    void Send(const std::string& data) const {
        std::size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(m_master, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{m_master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }

    // Reads from the master end until `count` bytes came or `timeoutMs` passed.
    std::string Receive(std::size_t count, int timeoutMs = 2000) const {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            ssize_t n = ::read(m_master, buffer, std::min(sizeof buffer, count - out.size()));
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            pollfd p{m_master, POLLIN, 0};
            ::poll(&p, 1, 20);
        }
        return out;
    }

  private:
    int m_master{-1};
    std::string m_slavePath;
};

// Maps "COMn" to `target` in the machine hive of the current configuration folder.
inline void MapComPort(int comNumber, const std::string& target) {
    platform::WriteRegistryString(platform::HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm",
                                  "COM" + std::to_string(comNumber), target);
}

} // namespace testsupport
