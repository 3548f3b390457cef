#include "tests/protocol/MachineSupport.h"

#include <cstdio>

namespace machinetest {

using namespace protocol;
using namespace protocol::zmodem;

namespace {
constexpr std::size_t kSenderRoom = 2048; // output the sender keeps ready for the line
const unsigned char kNoData[1]{};
} // namespace

std::string HexFrame(int type, std::uint32_t position) {
    unsigned char out[kMaxHexHeaderBytes];
    FrameEncoder encoder;
    const int n = encoder.HexHeader(Header::AtPosition(type, position), out);
    return {reinterpret_cast<const char*>(out), static_cast<std::size_t>(n)};
}

MachineStatus::MachineStatus(const char* who, const TimeMs& now)
    : m_who{who}, m_now{now}, m_print{std::getenv("SENDARI_MACHINE_TRACE") != nullptr} {}

void MachineStatus::TraceLine(const char* text) {
    std::printf("%8ld %-7s %s\n", static_cast<long>(m_now), m_who, text);
}

TimeMs MachinePair::Run(TimeMs limitMs) {
    tx.Start(now);
    rx.Start(now);
    TakeSenderActions();
    TakeReceiverActions();
    while (now < limitMs && !(tx.Finished() && rx.Finished())) {
        while (tx.WantsToWrite() && m_sender.output.size() < kSenderRoom) {
            tx.OnWritable(now);
            TakeSenderActions();
        }
        Carry(m_sender, m_receiver);
        Carry(m_receiver, m_sender);
        Deliver(m_receiver, rx);
        Deliver(m_sender, tx);
        ++now;
        Wake(m_sender, tx);
        Wake(m_receiver, rx);
    }
    return now;
}

void MachinePair::TakeSenderActions() {
    using Kind = ZmodemSender::Action::Kind;
    const Check check = tx.FrameCheck();
    for (const ZmodemSender::Action& action : tx.TakeActions()) {
        std::vector<unsigned char> out(2 * 1024 + 32);
        int n = 0;
        switch (action.kind) {
        case Kind::SendHex:
            n = m_encoder.HexHeader(action.header, out.data());
            break;
        case Kind::SendBinary:
            n = m_encoder.BinaryHeader(action.header, check, out.data());
            break;
        case Kind::SendSubpacket:
            n = m_encoder.Subpacket(action.data ? action.data : kNoData, action.length,
                                    action.endCode, check, out.data());
            break;
        case Kind::PurgeOutput:
            m_sender.output.clear();
            continue;
        case Kind::OverAndOut:
            Put(Way::ToReceiver, "OO");
            continue;
        }
        Put(Way::ToReceiver,
            std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n)));
    }
}

void MachinePair::TakeReceiverActions() {
    for (const ZmodemReceiver::Action& action : rx.TakeActions()) {
        if (action.kind == ZmodemReceiver::Action::Kind::DiscardInput) {
            m_receiver.input.clear();
            m_receiver.reader.Reset();
            continue;
        }
        unsigned char out[kMaxHexHeaderBytes];
        const int n = m_encoder.HexHeader(action.header, out);
        Put(Way::ToSender,
            std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n)));
    }
}

void MachinePair::Put(Way way, std::string bytes) {
    const int index = pieces[static_cast<int>(way)]++;
    const Fault what = fault(way, index);
    if (what == Fault::Drop)
        return;
    if (what == Fault::Damage)
        bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
    (way == Way::ToReceiver ? m_sender : m_receiver).output += bytes;
}

void MachinePair::Carry(Side& from, Side& to) {
    while (!from.line.empty() && from.line.front().first <= now) {
        to.input += from.line.front().second;
        from.line.pop_front();
    }
    const std::size_t n = std::min(from.output.size(), m_line.bytesPerMs);
    if (n == 0)
        return;
    std::string piece = from.output.substr(0, n);
    from.output.erase(0, n);
    if (m_line.noise > 0) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        for (char& c : piece)
            if (chance(m_random) < m_line.noise)
                c = static_cast<char>(c ^ (1 << (m_random() % 8)));
    }
    from.line.emplace_back(now + m_line.delayMs, std::move(piece));
}

template <class Machine> void MachinePair::Deliver(Side& side, Machine& machine) {
    while (!side.input.empty() && !machine.Finished()) {
        const long talk = side.reader.TalkCount();
        int taken = 0;
        const FrameEvent event =
            side.reader.Feed(reinterpret_cast<const unsigned char*>(side.input.data()),
                             static_cast<int>(side.input.size()), taken, now);
        side.input.erase(0, static_cast<std::size_t>(taken));
        if (side.reader.TalkCount() != talk)
            machine.OnHeard(now, side.reader.TalkCount() - talk,
                            event.kind == FrameEvent::Kind::None && !side.reader.InFrame());
        machine.OnFrame(event, now);
        TakeSenderActions();
        TakeReceiverActions();
    }
}

template <class Machine> void MachinePair::Wake(Side& side, Machine& machine) {
    if (const std::optional<TimeMs> due = side.reader.Deadline(); due && *due <= now)
        machine.OnFrame(side.reader.Tick(now), now);
    if (const std::optional<TimeMs> due = machine.WakeAt(); due && *due <= now)
        machine.OnTime(now, static_cast<long>(side.output.size()));
    TakeSenderActions();
    TakeReceiverActions();
}

} // namespace machinetest
