// Telnet on the line side of the virtual modem (RFC 854 with BINARY, RFC 856, and
// SUPPRESS-GO-AHEAD, RFC 858): option negotiation, IAC escaping both ways, and the CR NUL of
// a direction that is not binary. No sockets here: bytes in, data and answers out.
#pragma once

#include "platform/ByteQueue.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

namespace telnet {
inline constexpr unsigned char kIac = 255;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kWill = 251;
inline constexpr unsigned char kSb = 250;
inline constexpr unsigned char kSe = 240;
inline constexpr unsigned char kBinary = 0;
inline constexpr unsigned char kEcho = 1;
inline constexpr unsigned char kSuppressGoAhead = 3;
inline constexpr unsigned char kTerminalType = 24;
// The terminal type this side gives when a server asks.
inline constexpr const char* kTerminalName = "ANSI";
} // namespace telnet

class TelnetCodec {
  public:
    enum class Role { Client, Server };
    explicit TelnetCodec(Role role);

    // What this side asks for as the connection opens: BINARY both ways and
    // SUPPRESS-GO-AHEAD.
    std::string Opening();

    // Bytes from the network: data goes to `data`, answers to negotiation to `replies`.
    // Commands and subnegotiations may be split across calls at any byte.
    void Receive(const unsigned char* in, std::size_t length, ByteQueue& data,
                 std::string& replies);

    // Bytes for the network: each 0xFF doubled, and a CR followed by NUL while this side
    // does not send binary.
    void Encode(const unsigned char* in, std::size_t length, ByteQueue& out) const;

    bool SendsBinary() const { return m_local[telnet::kBinary].enabled; }
    bool ReceivesBinary() const { return m_remote[telnet::kBinary].enabled; }
    bool RemoteEchoes() const { return m_remote[telnet::kEcho].enabled; }
    // Our offer of BINARY is not answered yet: a peer that agrees reads what we send from
    // its answer on as binary, so data waits for it.
    bool Negotiating() const { return m_local[telnet::kBinary].requested; }

  private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    struct Option {
        bool enabled{false};
        bool requested{false}; // we asked and wait for the answer
    };

    void Command(unsigned char verb, unsigned char option, std::string& replies);
    void SubnegotiationEnd(std::string& replies);
    bool AcceptsLocal(unsigned char option) const;
    bool AcceptsRemote(unsigned char option) const;
    static void Put(std::string& to, unsigned char verb, unsigned char option);

    Role m_role;
    State m_state{State::Data};
    unsigned char m_verb{0};
    bool m_afterCr{false}; // the last data byte was a CR in text mode
    int m_binaryAsksLeft{1}; // BINARY withdrawn by the peer is asked for again this often
    std::string m_sub;       // the subnegotiation being read, bounded
    Option m_local[256];     // what this side does (WILL/WONT)
    Option m_remote[256];    // what the peer does (DO/DONT)
};

} // namespace platform
