// Host and port texts, and the port-map values that configure a virtual modem.
#include "platform/NetAddress.h"
#include "platform/VirtualModem.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

namespace platform {

// Splits "host:port" or "[v6]:port"; false when the port is missing or out of range.
bool SplitHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = text.substr(0, colon);
    std::string digits = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    unsigned long value = std::stoul(digits);
    if (value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1" || host == "[::1]")
        return true;
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 &&
           (ntohl(address.s_addr) >> 24) == 127;
}

std::string ExposedListenWarning(const std::string& listenText) {
    std::string host;
    std::uint16_t port = 0;
    if (!ParseListenAddress(listenText, host, port) || IsLoopbackHost(host))
        return {};
    return "Warning: the virtual modem answers calls on " + host +
           ", not only on this computer: " + "anyone who can reach port " + std::to_string(port) +
           " there can call this station and send it files. Use 127.0.0.1 unless that is "
           "what you want.";
}

// The addresses of host:port, in the order the resolver prefers; empty when unknown.
std::vector<sockaddr_storage> ResolveTarget(const std::string& target) {
    std::vector<sockaddr_storage> addresses;
    std::string host;
    std::uint16_t port = 0;
    if (!SplitHostPort(target, host, port) || port == 0 || host.empty())
        return addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0)
        return addresses;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        sockaddr_storage address{};
        std::memcpy(&address, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof address));
        addresses.push_back(address);
    }
    ::freeaddrinfo(list);
    return addresses;
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool ParseDialTarget(const std::string& target, std::string& hostPort, bool& telnet) {
    constexpr std::size_t kScheme = 9; // "telnet://"
    std::string host;
    std::uint16_t port = 0;
    telnet = target.size() > kScheme && ::strncasecmp(target.c_str(), "telnet://", kScheme) == 0;
    if (telnet) {
        std::string rest = target.substr(kScheme);
        if (!rest.empty() && rest.back() == '/')
            rest.pop_back();
        // A host without a port takes the telnet port; a bare IPv6 address gets brackets.
        const auto colons = std::count(rest.begin(), rest.end(), ':');
        if (!rest.empty() && rest.front() == '[') {
            const auto close = rest.find(']');
            if (close != std::string::npos && close + 1 == rest.size())
                rest += ":23";
        } else if (colons == 0) {
            rest += ":23";
        } else if (colons > 1) {
            rest = "[" + rest + "]:23";
        }
        if (!SplitHostPort(rest, host, port) || host.empty() || port == 0)
            return false;
        hostPort = rest;
        return true;
    }
    if (!SplitHostPort(target, host, port) || host.empty() || port == 0)
        return false;
    telnet = port == 23;
    hostPort = target;
    return true;
}

// ---------------------------------------------------------------------------------------
// Port-map values

bool ParseListenAddress(const std::string& text, std::string& address, std::uint16_t& port) {
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (text.size() > 5 || std::stoul(text) > 65535)
            return false;
        address = "127.0.0.1";
        port = static_cast<std::uint16_t>(std::stoul(text));
        return true;
    }
    std::string host;
    if (!SplitHostPort(text, host, port) || host.empty())
        return false;
    address = host;
    return true;
}

bool ParseVirtualModemMapValue(const std::string& mapValue, VirtualModemConfig& config) {
    const std::string prefix = "vmodem:";
    if (mapValue.size() < prefix.size() || mapValue.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::size_t at = prefix.size();
    while (at <= mapValue.size()) {
        std::size_t end = mapValue.find(';', at);
        if (end == std::string::npos)
            end = mapValue.size();
        std::string item = mapValue.substr(at, end - at);
        at = end + 1;
        if (item.empty())
            continue;
        auto equals = item.find('=');
        if (equals == std::string::npos)
            return false;
        std::string key = item.substr(0, equals);
        std::string value = item.substr(equals + 1);
        auto isNumber = [](const std::string& s) {
            return !s.empty() && s.size() <= 9 &&
                   std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        if (key == "listen") {
            if (!ParseListenAddress(value, config.listenAddress, config.listenPort))
                return false;
        } else if (key == "rate") {
            if (value == "unlimited")
                config.lineRate = 0;
            else if (isNumber(value) && std::stoul(value) >= 300 && std::stoul(value) <= 10000000)
                config.lineRate = static_cast<std::uint32_t>(std::stoul(value));
            else
                return false;
        } else if (key == "noline" || key == "answer" || key == "telnet") {
            if (value != "0" && value != "1")
                return false;
            if (key == "noline")
                config.noLine = value == "1";
            else if (key == "telnet")
                config.telnet = value == "1";
            else
                config.listen = value == "1";
        } else {
            return false;
        }
    }
    return true;
}

std::unique_ptr<SerialDevice> OpenVirtualModemDevice(const std::string& mapValue, int& error,
                                                     NumberLookup lookup) {
    VirtualModemConfig config;
    if (!ParseVirtualModemMapValue(mapValue, config)) {
        error = -EINVAL;
        return nullptr;
    }
    config.lookup = std::move(lookup);
    return VirtualModem::Open(config, error);
}

} // namespace platform
