// Who drives a modem: an advisory lock on a port's device, taken when a handle to the port is
// opened and held until it closes, so that two copies of the program (a waiting receiver and
// the desktop program, say) never answer on one modem.
#pragma once

#include <optional>
#include <string>

namespace platform {

class PortLock {
  public:
    // Locks the device a port-map target names: a terminal device path, or a virtual modem
    // with a fixed listening port. A virtual modem on port 0 shares nothing and takes no lock.
    // nullopt when another process holds it; `holder` then names that process as it named
    // itself ("sendari-cli receive, process 1234"). An unusable lock folder locks nothing.
    static std::optional<PortLock> Take(const std::string& target, std::string& holder);

    PortLock(PortLock&& other) noexcept : m_fd{other.m_fd} { other.m_fd = -1; }
    PortLock& operator=(PortLock&& other) noexcept;
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
    ~PortLock();

  private:
    explicit PortLock(int fd) : m_fd{fd} {}
    int m_fd{-1};
};

// The holder named when the last port open was refused (on any thread: a job opens its port
// on its worker, its window says why it failed); empty after an open that was not refused.
std::string LastPortHolder();
void SetLastPortHolder(std::string holder);

} // namespace platform
