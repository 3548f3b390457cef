// Host and port texts of the virtual modem's line side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace platform {

// Splits "host:port" or "[v6]:port"; false when the port is missing or out of range.
bool SplitHostPort(const std::string& text, std::string& host, std::uint16_t& port);

// The addresses of host:port, in the order the resolver prefers; empty when unknown.
std::vector<sockaddr_storage> ResolveTarget(const std::string& target);

// Closes fd if it is open and marks it closed.
void CloseFd(int& fd);

} // namespace platform
