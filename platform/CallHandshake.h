// The call handshake between two virtual modems.
//
// A call is one TCP connection. Before data mode the two modems exchange frames
//
//     FF FA 9D 'V' 'M' '/' '1' <status> [rate in decimal digits] FF F0
//
// which is a telnet subnegotiation of an unassigned option, so that a telnet host that a
// virtual modem dials ignores it. Status bytes:
//     'C'  call    caller -> callee, with the caller's line rate (0 = unlimited), sent as
//                  soon as the TCP connection is up
//     'R'  ringing callee -> caller, once the callee has recognised the call frame
//     'A'  answer  callee -> caller, with the rate of the call: the slower of the two lines
//                  (an unlimited line yields to any rate); every byte after it is data
//     'B'  busy    callee -> caller, then the callee closes the connection
// Both ends then pace and report CONNECT at the agreed rate, so that the two computers see
// the same speed. The caller sends nothing after its call frame until it has seen 'A'
// (bytes the computer types while a call is being set up abort it, as on a real modem), so
// nothing of the handshake can reach the data stream on either side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::handshake {

inline constexpr char kCall = 'C';
inline constexpr char kRinging = 'R';
inline constexpr char kAnswer = 'A';
inline constexpr char kBusy = 'B';

// A frame with the given status, with the rate when withRate.
std::string Frame(char status, std::uint32_t rate = 0, bool withRate = false);

// One frame at the front of received bytes.
struct Parsed {
    enum Outcome { Incomplete, Invalid, Complete } outcome{Incomplete};
    char status{0};
    bool hasRate{false};
    std::uint32_t rate{0};
    std::size_t length{0};
};
Parsed Parse(const unsigned char* data, std::size_t length);

// The rate of a call between two modems: the slower line; 0 (unlimited) yields to any rate.
std::uint32_t AgreedRate(std::uint32_t own, std::uint32_t other);

} // namespace platform::handshake
