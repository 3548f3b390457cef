// What both drivers do between the link and a state machine: feed the bytes buffered to the
// frame reader and the machine, or wait for input until the machine's or the reader's next
// deadline and tell them the time.
#pragma once

#include <algorithm>
#include <optional>

#include "protocol/FileTransfer.h"
#include "protocol/ZmodemFrameReader.h"

namespace protocol::zmodem {

// Feeds what the link holds to the reader, up to its next event, and that event to the
// machine; false when no input was waiting.
template <class Machine>
bool FeedInput(FileTransfer& transfer, Machine& machine, FrameReader& reader, TimeMs now) {
    int available = 0;
    const unsigned char* bytes = transfer.Buffered(available);
    if (available == 0 && transfer.InputWaiting())
        bytes = transfer.Buffered(available);
    if (available == 0)
        return false;
    const long talk = reader.TalkCount();
    int taken = 0;
    const FrameEvent event = reader.Feed(bytes, available, taken, now);
    transfer.Consume(taken);
    if (reader.TalkCount() != talk)
        machine.OnHeard(now, reader.TalkCount() - talk,
                        event.kind == FrameEvent::Kind::None && !reader.InFrame());
    machine.OnFrame(event, now);
    // Input that is all flow control is no talk: the silence it stands for is counted.
    if (const std::optional<TimeMs> wake = machine.WakeAt(); wake && now >= *wake)
        machine.OnTime(now, transfer.OutputQueued());
    return true;
}

// Waits for input until the next wake-up, at most `pollMs`; when none came, tells the reader
// and the machine the time. A failed link is the machine's to judge.
template <class Machine>
void WaitForFrames(FileTransfer& transfer, Machine& machine, FrameReader& reader, TimeMs now,
                   TimeMs pollMs) {
    TimeMs wake = now + pollMs;
    if (const std::optional<TimeMs> due = machine.WakeAt())
        wake = std::min(wake, *due);
    if (const std::optional<TimeMs> due = reader.Deadline())
        wake = std::min(wake, *due);
    const int got = transfer.AwaitInput(static_cast<long>(std::max<TimeMs>(wake - now, 0)));
    if (got < 0) {
        machine.OnLinkFailed(got);
        return;
    }
    if (got == 0) {
        now += std::max<TimeMs>(wake - now, 0);
        machine.OnFrame(reader.Tick(now), now);
        machine.OnTime(now, transfer.OutputQueued());
    }
}

} // namespace protocol::zmodem
