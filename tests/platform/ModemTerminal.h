// Test helpers for the virtual modem: a computer on its serial side and a TCP peer.
#pragma once

#include "platform/VirtualModem.h"

#include <chrono>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace modem_test {

using namespace platform;
using namespace std::chrono_literals;

// A computer on the serial side of one modem: types commands and collects what comes back.
class Terminal {
  public:
    explicit Terminal(VirtualModemConfig config = {}) {
        config.listenPort = 0;
        int error = 0;
        m_modem = VirtualModem::Open(config, error);
        EXPECT_EQ(error, 0);
    }

    VirtualModem& Modem() { return *m_modem; }
    std::uint16_t Port() const { return m_modem->ListenPort(); }
    std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }

    void Type(const std::string& text) {
        auto data = reinterpret_cast<const unsigned char*>(text.data());
        std::size_t done = 0;
        while (done < text.size()) {
            int n = m_modem->Write(data + done, static_cast<int>(text.size() - done));
            ASSERT_GE(n, 0);
            done += static_cast<std::size_t>(n);
            if (done < text.size())
                m_modem->Wait(100, false, true);
        }
    }

    // Waits (real time) until `text` has come back, and consumes the output up to its end.
    bool WaitFor(const std::string& text, std::chrono::milliseconds cap = 3s) {
        auto end = std::chrono::steady_clock::now() + cap;
        while (true) {
            auto at = m_output.find(text);
            if (at != std::string::npos) {
                m_output.erase(0, at + text.size());
                return true;
            }
            if (std::chrono::steady_clock::now() >= end)
                return false;
            Collect(20);
        }
    }

    // Everything that arrives within `span` of real time.
    std::string Drain(std::chrono::milliseconds span) {
        auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end)
            Collect(10);
        std::string all;
        all.swap(m_output);
        return all;
    }

    // "AT" + body + CR, and the result line expected for it.
    bool Command(const std::string& body, const std::string& result = "\r\nOK\r\n") {
        Type("AT" + body + "\r");
        return WaitFor(result);
    }

    bool Carrier() { return (m_modem->ModemStatus() & kModemDcd) != 0; }

  private:
    void Collect(int capMs) {
        // capMs on the platform clock may be accelerated; keep real waits short either way.
        m_modem->Wait(capMs, true, false);
        unsigned char buffer[4096];
        int n;
        while ((n = m_modem->Read(buffer, sizeof buffer)) > 0)
            m_output.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
    }

    std::unique_ptr<VirtualModem> m_modem;
    std::string m_output;
};

// A TCP socket of the test itself, playing a peer that is not a virtual modem.
struct PlainSocket {
    int fd{-1};
    ~PlainSocket() {
        if (fd >= 0)
            ::close(fd);
    }
    std::string ReadFor(std::chrono::milliseconds span) {
        std::string all;
        auto end = std::chrono::steady_clock::now() + span;
        timeval tv{0, 20000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        while (std::chrono::steady_clock::now() < end) {
            char buffer[256];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0)
                all.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0)
                break;
        }
        return all;
    }
    void Send(const std::string& text) {
        ASSERT_EQ(::send(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    }
};

inline sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace modem_test
