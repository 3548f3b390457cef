// Telnet negotiation and data: see Telnet.h.
//
// Negotiation follows RFC 854's rule against loops: a request that would not change an
// option's state is not answered, and an answer to our own request is not answered again.
#include "platform/Telnet.h"

namespace platform {

using namespace telnet;

namespace {
constexpr std::size_t kMaxSubnegotiation = 64;
constexpr unsigned char kNul = 0;
constexpr unsigned char kCr = '\r';
constexpr unsigned char kTerminalTypeIs = 0;
constexpr unsigned char kTerminalTypeSend = 1;
} // namespace

TelnetCodec::TelnetCodec(Role role) : m_role{role} {}

void TelnetCodec::Put(std::string& to, unsigned char verb, unsigned char option) {
    to += static_cast<char>(kIac);
    to += static_cast<char>(verb);
    to += static_cast<char>(option);
}

std::string TelnetCodec::Opening() {
    std::string out;
    auto ask = [&](Option& o, unsigned char verb, unsigned char option) {
        if (o.enabled || o.requested)
            return;
        o.requested = true;
        Put(out, verb, option);
    };
    ask(m_local[kBinary], kWill, kBinary);
    ask(m_remote[kBinary], kDo, kBinary);
    if (m_role == Role::Client)
        ask(m_remote[kSuppressGoAhead], kDo, kSuppressGoAhead);
    else
        ask(m_local[kSuppressGoAhead], kWill, kSuppressGoAhead);
    return out;
}

bool TelnetCodec::AcceptsLocal(unsigned char option) const {
    return option == kBinary || option == kSuppressGoAhead ||
           (option == kTerminalType && m_role == Role::Client);
}

bool TelnetCodec::AcceptsRemote(unsigned char option) const {
    return option == kBinary || option == kSuppressGoAhead ||
           (option == kEcho && m_role == Role::Client);
}

void TelnetCodec::Command(unsigned char verb, unsigned char option, std::string& replies) {
    const bool local = verb == kDo || verb == kDont;
    Option& o = local ? m_local[option] : m_remote[option];
    const bool accepts = local ? AcceptsLocal(option) : AcceptsRemote(option);
    const unsigned char yes = local ? kWill : kDo;
    const unsigned char no = local ? kWont : kDont;
    const bool enable = verb == kDo || verb == kWill;
    const bool asked = o.requested;
    o.requested = false;
    if (enable) {
        if (!accepts) {
            Put(replies, no, option);
        } else if (!o.enabled) {
            o.enabled = true;
            if (!asked)
                Put(replies, yes, option);
        }
        return;
    }
    if (!o.enabled)
        return; // a refusal of our request, or a repeat: nothing to answer
    o.enabled = false;
    Put(replies, no, option);
    // A server may give up binary output as its session starts; asking once more is allowed
    // and keeps the data from being text-mode telnet for the rest of the call.
    if (option == kBinary && !local && m_binaryAsksLeft > 0) {
        --m_binaryAsksLeft;
        o.requested = true;
        Put(replies, kDo, kBinary);
    }
}

void TelnetCodec::SubnegotiationEnd(std::string& replies) {
    if (m_sub.size() >= 2 && static_cast<unsigned char>(m_sub[0]) == kTerminalType &&
        static_cast<unsigned char>(m_sub[1]) == kTerminalTypeSend &&
        m_local[kTerminalType].enabled) {
        replies += static_cast<char>(kIac);
        replies += static_cast<char>(kSb);
        replies += static_cast<char>(kTerminalType);
        replies += static_cast<char>(kTerminalTypeIs);
        replies += kTerminalName;
        replies += static_cast<char>(kIac);
        replies += static_cast<char>(kSe);
    }
    m_sub.clear();
}

void TelnetCodec::Receive(const unsigned char* in, std::size_t length, ByteQueue& data,
                          std::string& replies) {
    std::size_t i = 0;
    while (i < length) {
        const unsigned char c = in[i];
        switch (m_state) {
        case State::Data: {
            if (c == kIac) {
                m_state = State::Iac;
                ++i;
                break;
            }
            if (m_afterCr && c == kNul) {
                m_afterCr = false; // CR NUL is a bare CR
                ++i;
                break;
            }
            // The run of plain data up to the next IAC (and, in text mode, the next CR).
            const bool text = !ReceivesBinary();
            std::size_t end = i;
            while (end < length && in[end] != kIac && !(text && in[end] == kCr))
                ++end;
            if (end < length && in[end] == kCr)
                ++end;
            data.Append(in + i, end - i);
            m_afterCr = text && in[end - 1] == kCr;
            i = end;
            break;
        }
        case State::Iac:
            ++i;
            if (c == kIac) {
                data.Append(&c, 1);
                m_afterCr = false;
                m_state = State::Data;
            } else if (c >= kWill && c <= kDont) {
                m_verb = c;
                m_state = State::Option;
            } else if (c == kSb) {
                m_sub.clear();
                m_state = State::Sub;
            } else {
                m_state = State::Data; // NOP, DM, GA, AYT and the rest carry no data
            }
            break;
        case State::Option:
            ++i;
            m_state = State::Data;
            Command(m_verb, c, replies);
            break;
        case State::Sub:
            ++i;
            if (c == kIac)
                m_state = State::SubIac;
            else if (m_sub.size() < kMaxSubnegotiation)
                m_sub += static_cast<char>(c);
            break;
        case State::SubIac:
            ++i;
            if (c == kSe) {
                m_state = State::Data;
                SubnegotiationEnd(replies);
            } else {
                if (c == kIac && m_sub.size() < kMaxSubnegotiation)
                    m_sub += static_cast<char>(c);
                m_state = State::Sub;
            }
            break;
        }
    }
}

void TelnetCodec::Encode(const unsigned char* in, std::size_t length, ByteQueue& out) const {
    const bool text = !SendsBinary();
    static constexpr unsigned char kDoubled[] = {kIac, kIac};
    static constexpr unsigned char kCrNul[] = {kCr, kNul};
    std::size_t start = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const bool iac = in[i] == kIac;
        if (!iac && !(text && in[i] == kCr))
            continue;
        out.Append(in + start, i - start);
        out.Append(iac ? kDoubled : kCrNul, 2);
        start = i + 1;
    }
    out.Append(in + start, length - start);
}

} // namespace platform
