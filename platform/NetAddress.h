// Host and port texts of the virtual modem's line side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace platform {

// Splits "host:port" or "[v6]:port"; false when the port is missing or out of range.
bool SplitHostPort(const std::string& text, std::string& host, std::uint16_t& port);

// Whether a listening address answers only this computer: 127.0.0.0/8, ::1 or "localhost".
bool IsLoopbackHost(const std::string& host);
// The warning for a virtual modem that answers calls on a listening text ("ADDR:PORT" or a
// bare port), or empty when the address is a loopback one: anyone who reaches a wider
// address can call the station and send it files.
std::string ExposedListenWarning(const std::string& listenText);

// The addresses of host:port, in the order the resolver prefers; empty when unknown.
std::vector<sockaddr_storage> ResolveTarget(const std::string& target);

// Closes fd if it is open and marks it closed.
void CloseFd(int& fd);

} // namespace platform
