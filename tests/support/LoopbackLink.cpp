// In-memory link pair. One mutex guards both directions; Idle waits briefly on a condition
// variable instead of spinning, so a waiting test thread sleeps until bytes arrive.
#include "tests/support/LoopbackLink.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>

#include "comm/StatusCodes.h"
#include "tests/support/ZmodemFaultTap.h"

namespace testsupport {

using namespace comm;

struct EndState {
    std::deque<unsigned char> outgoing; // written by this end, read by the other
    long transmitRoom{65536};
    long receiveSize{65536};
    bool stalled{false};
    bool lines[32]{};
    int injectedErrors{0};
    double flipProbability{0.0};
    std::mt19937 random{1};
    long dropAfter{-1};
    long stallAfter{-1};
    long written{0};
    int inputMode{0}, outputMode{0};
    long baud{1200};
    char parity{'N'};
    int dataBits{8}, stopBits{1};
    int breakState{0};
    bool open{false};
    std::shared_ptr<ZmodemFaultTap> tap;
};

struct LoopbackShared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    EndState ends[2];
    bool dropped{false};
};

namespace {
constexpr auto kIdleWait = std::chrono::milliseconds(1);
}

LoopbackLink::LoopbackLink(std::shared_ptr<LoopbackShared> shared, int side, int port)
    : ComLink(port), m_shared{std::move(shared)}, m_side{side} {
    EndState& me = m_shared->ends[m_side];
    me.lines[kLineCts] = me.lines[kLineDsr] = me.lines[kLineDcd] = true;
    me.lines[kLineDtr] = me.lines[kLineRts] = true;
}

LoopbackLink::~LoopbackLink() = default;

int LoopbackLink::Idle() {
    if (m_countIdle)
        ++m_idleCalls;
    std::unique_lock lock(m_shared->mutex);
    m_shared->changed.wait_for(lock, kIdleWait);
    return 0;
}

int LoopbackLink::ReadModemStatus() {
    std::lock_guard lock(m_shared->mutex);
    const EndState& me = m_shared->ends[m_side];
    int bits = 0;
    if (me.lines[kLineCts])
        bits |= 0x10;
    if (me.lines[kLineDsr])
        bits |= 0x20;
    if (me.lines[kLineRi])
        bits |= 0x40;
    if (me.lines[kLineDcd] && !m_shared->dropped)
        bits |= 0x80;
    return bits;
}

int LoopbackLink::Open() {
    int status = CountOpen();
    if (status != 0) {
        SetLastStatus(status);
        return status;
    }
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].open = true;
    return 0;
}

int LoopbackLink::OpenDevice() {
    return 0;
}

int LoopbackLink::Close() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].open = false;
    return 0;
}

int LoopbackLink::GetQueueStatus(QueueStatus& status) {
    std::lock_guard lock(m_shared->mutex);
    const EndState& me = m_shared->ends[m_side];
    const EndState& peer = m_shared->ends[1 - m_side];
    status.receiveCount = peer.stalled ? 0 : static_cast<long>(peer.outgoing.size());
    status.receiveSize = me.receiveSize;
    status.transmitCount = static_cast<long>(me.outgoing.size());
    status.transmitSize = me.transmitRoom;
    status.flags = me.stalled ? kQueueBlockReceived : 0;
    return static_cast<int>(status.transmitCount);
}

int LoopbackLink::SetBufferSizes(long receive, long, long transmit) {
    std::lock_guard lock(m_shared->mutex);
    EndState& me = m_shared->ends[m_side];
    if (receive)
        me.receiveSize = receive;
    if (transmit)
        me.transmitRoom = transmit;
    return 0;
}

int LoopbackLink::SetHandshake(int inputMode, int outputMode) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].inputMode = inputMode;
    m_shared->ends[m_side].outputMode = outputMode;
    return 0;
}

int LoopbackLink::GetHandshake(int& inputMode, int& outputMode) {
    std::lock_guard lock(m_shared->mutex);
    inputMode = m_shared->ends[m_side].inputMode;
    outputMode = m_shared->ends[m_side].outputMode;
    return 0;
}

int LoopbackLink::SetBreak(int state) {
    std::lock_guard lock(m_shared->mutex);
    if (state < 0)
        return m_shared->ends[m_side].breakState;
    m_shared->ends[m_side].breakState = state == 1 ? 1 : 0;
    return m_shared->ends[m_side].breakState;
}

int LoopbackLink::Line(int number, int value) {
    if (number == kLineBreak)
        return SetBreak(value);
    std::lock_guard lock(m_shared->mutex);
    EndState& me = m_shared->ends[m_side];
    if ((number == kLineDtr || number == kLineRts) && (value == 0 || value == 1))
        me.lines[number] = value == 1;
    switch (number) {
    case kLineDtr:
    case kLineRts:
    case kLineCts:
    case kLineDsr:
    case kLineRi:
        return me.lines[number] ? 1 : 0;
    case kLineDcd:
        return me.lines[number] && !m_shared->dropped ? 1 : 0;
    case kLineReserved17:
    case kLineReserved18:
    case kLineReserved19:
    case kLineReserved20:
        return 0;
    case kLineParityError:
        return (me.injectedErrors & 1) ? 1 : 0;
    case kLineFramingError:
        return (me.injectedErrors & 2) ? 1 : 0;
    case kLineReceiveOverflow:
        return (me.injectedErrors & 4) ? 1 : 0;
    case kLineOverrun:
        return (me.injectedErrors & 8) ? 1 : 0;
    case kLineBreakSeen:
        return (me.injectedErrors & 16) ? 1 : 0;
    default:
        return kLineUnknown;
    }
}

int LoopbackLink::SetLineParams(long baud, char parity, int dataBits, int stopBits) {
    std::lock_guard lock(m_shared->mutex);
    EndState& me = m_shared->ends[m_side];
    me.baud = baud;
    me.parity = parity;
    me.dataBits = dataBits;
    me.stopBits = stopBits;
    return 0;
}

int LoopbackLink::GetLineParams(long& baud, char& parity, int& dataBits, int& stopBits) {
    std::lock_guard lock(m_shared->mutex);
    const EndState& me = m_shared->ends[m_side];
    baud = me.baud;
    parity = me.parity;
    dataBits = me.dataBits;
    stopBits = me.stopBits;
    return 0;
}

int LoopbackLink::GetLineStates(unsigned char states[4]) {
    auto q = [this](int n) { return static_cast<unsigned char>(Line(n, -1) & 3); };
    states[0] = q(kLineDtr) | q(kLineRts) << 2 | q(kLineBreak) << 4 | q(kLineDsr) << 6;
    states[1] = q(kLineCts) | q(kLineRi) << 2 | q(kLineDcd) << 4 | q(kLineReserved20) << 6;
    states[2] = q(kLineReserved19) | q(kLineReserved17) << 2 | q(kLineReserved18) << 4 |
                q(kLineBreakSeen) << 6;
    states[3] = q(kLineParityError) | q(kLineFramingError) << 2 | q(kLineReceiveOverflow) << 4 |
                q(kLineOverrun) << 6;
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].injectedErrors = 0;
    return 0;
}

int LoopbackLink::WriteChar(int c) {
    unsigned char byte = static_cast<unsigned char>(c);
    return WriteBuffer(&byte, 1) == 1 ? 0 : LastStatus();
}

int LoopbackLink::WriteString(const char* text) {
    return WriteBuffer(reinterpret_cast<const unsigned char*>(text),
                       static_cast<int>(std::strlen(text)));
}

int LoopbackLink::WriteBuffer(const unsigned char* data, int length) {
    if (length <= 0)
        return 0;
    int count = 0;
    {
        std::lock_guard lock(m_shared->mutex);
        EndState& me = m_shared->ends[m_side];
        long room = me.transmitRoom - static_cast<long>(me.outgoing.size());
        count = static_cast<int>(std::min<long>(room > 0 ? room : 0, length));
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        std::uniform_int_distribution<int> flip(1, 255);
        for (int i = 0; i < count; ++i) {
            if (me.stallAfter >= 0 && me.written >= me.stallAfter) {
                me.stalled = true;
                me.transmitRoom = 0;
                me.stallAfter = -1;
                count = i;
                break;
            }
            unsigned char b = data[i];
            if (me.dropAfter >= 0 && me.written >= me.dropAfter)
                m_shared->dropped = true;
            ++me.written;
            if (m_shared->dropped)
                continue;
            if (me.flipProbability > 0.0 && chance(me.random) < me.flipProbability)
                b = static_cast<unsigned char>(b ^ flip(me.random));
            if (me.tap)
                me.tap->Write(&b, 1, me.outgoing);
            else
                me.outgoing.push_back(b);
        }
    }
    m_shared->changed.notify_all();
    if (count < length)
        SetLastStatus(kBufferFull);
    return count;
}

int LoopbackLink::SendImmediate(int c) {
    return WriteChar(c) == 0 ? 0 : kGeneralError;
}

int LoopbackLink::ReadChar() {
    ++m_readPolls;
    unsigned char byte;
    return ReadBuffer(&byte, 1) == 1 ? byte : kTimedOut;
}

int LoopbackLink::ReadBuffer(unsigned char* buffer, int length) {
    int count = 0;
    {
        std::lock_guard lock(m_shared->mutex);
        EndState& peer = m_shared->ends[1 - m_side];
        if (peer.stalled)
            return 0;
        while (count < length && !peer.outgoing.empty()) {
            buffer[count++] = peer.outgoing.front();
            peer.outgoing.pop_front();
        }
    }
    if (count > 0)
        m_shared->changed.notify_all();
    return count;
}

int LoopbackLink::Purge(int direction, int count) {
    std::lock_guard lock(m_shared->mutex);
    if (direction == 1) {
        m_shared->ends[m_side].outgoing.clear();
        if (m_shared->ends[m_side].tap)
            m_shared->ends[m_side].tap->Purge();
        return 0;
    }
    auto& incoming = m_shared->ends[1 - m_side].outgoing;
    if (count == 0) {
        incoming.clear();
        return 0;
    }
    int dropped = 0;
    while (!incoming.empty()) {
        incoming.pop_front();
        if (++dropped >= count)
            return kGeneralError;
    }
    return 0;
}

void LoopbackLink::SetTransmitRoom(long bytes) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].transmitRoom = bytes;
}

void LoopbackLink::SetModemLine(int number, bool on) {
    {
        std::lock_guard lock(m_shared->mutex);
        if (number >= 0 && number < 32)
            m_shared->ends[m_side].lines[number] = on;
    }
    m_shared->changed.notify_all();
}

void LoopbackLink::SetFlipProbability(double p, std::uint32_t seed) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].flipProbability = p;
    m_shared->ends[m_side].random.seed(seed);
}

void LoopbackLink::DropAfter(long bytes) {
    std::lock_guard lock(m_shared->mutex);
    EndState& me = m_shared->ends[m_side];
    me.dropAfter = me.written + bytes;
}

void LoopbackLink::StallAfter(long bytes) {
    std::lock_guard lock(m_shared->mutex);
    EndState& me = m_shared->ends[m_side];
    me.stallAfter = me.written + bytes;
}

void LoopbackLink::SetTap(std::shared_ptr<ZmodemFaultTap> tap) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].tap = std::move(tap);
}

void LoopbackLink::SetStalled(bool stalled) {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->ends[m_side].stalled = stalled;
    }
    m_shared->changed.notify_all();
}

void LoopbackLink::InjectLineErrors(int flags) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->ends[m_side].injectedErrors |= flags;
}

bool LoopbackLink::Dropped() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->dropped;
}

long LoopbackLink::BytesWritten() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->ends[m_side].written;
}

std::pair<std::unique_ptr<LoopbackLink>, std::unique_ptr<LoopbackLink>>
MakeLoopbackPair(int portA, int portB) {
    auto shared = std::make_shared<LoopbackShared>();
    auto a = std::make_unique<LoopbackLink>(shared, 0, portA);
    auto b = std::make_unique<LoopbackLink>(shared, 1, portB);
    a->Open();
    b->Open();
    return {std::move(a), std::move(b)};
}

} // namespace testsupport
