// Files kept in memory for the ZMODEM state machines, and a simulated line that joins a sender
// and a receiver machine on a simulated clock: no thread, link or clock of the system.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "comm/StatusCodes.h"
#include "protocol/Checksum.h"
#include "protocol/ZmodemReceiver.h"
#include "protocol/ZmodemSender.h"

namespace machinetest {

using protocol::zmodem::TimeMs;

// Feeds `wire` to the reader and the machine event by event at `now`, calling `collect` after
// each; what comes after the machine finished is not read.
template <class Machine, class Collect>
void FeedWire(Machine& machine, protocol::zmodem::FrameReader& reader, const std::string& wire,
              TimeMs now, Collect collect) {
    using protocol::zmodem::FrameEvent;
    const auto* bytes = reinterpret_cast<const unsigned char*>(wire.data());
    int left = static_cast<int>(wire.size());
    while (left > 0 && !machine.Finished()) {
        const long talk = reader.TalkCount();
        int taken = 0;
        const FrameEvent event = reader.Feed(bytes, left, taken, now);
        bytes += taken;
        left -= taken;
        if (reader.TalkCount() != talk)
            machine.OnHeard(now, reader.TalkCount() - talk,
                            event.kind == FrameEvent::Kind::None && !reader.InFrame());
        machine.OnFrame(event, now);
        collect();
    }
}

// Lets the time pass from `now` to `until`, waking the machine and the reader whenever they
// asked; `queued()` is the output still unsent at each wake-up.
template <class Machine, class Queued, class Collect>
void PassTime(Machine& machine, protocol::zmodem::FrameReader& reader, TimeMs& now, TimeMs until,
              Queued queued, Collect collect) {
    for (;;) {
        std::optional<TimeMs> wake = machine.WakeAt();
        if (const std::optional<TimeMs> due = reader.Deadline())
            wake = wake ? std::min(*wake, *due) : *due;
        if (!wake || *wake > until || machine.Finished())
            break;
        now = std::max(now, *wake);
        machine.OnFrame(reader.Tick(now), now);
        machine.OnTime(now, queued());
        collect();
    }
    now = until;
}

// A hex header as the codec makes it.
std::string HexFrame(int type, std::uint32_t position = 0);

// A receiver's files side in memory; each offer is answered with the steps queued in
// `answers` (Receive from 0 when none is left).
class MemoryFiles : public protocol::ReceiverFiles {
  public:
    protocol::OfferStep Offer(const protocol::zmodem::Header&, const unsigned char* info,
                              int length) override {
        const auto* text = reinterpret_cast<const char*>(info);
        offers.emplace_back(text,
                            static_cast<std::size_t>(std::find(text, text + length, '\0') - text));
        return Answer();
    }
    protocol::OfferStep Proved(std::optional<std::uint32_t> crc) override {
        proofs.push_back(crc);
        return Answer();
    }
    int Seek(std::int64_t position) override {
        data.resize(static_cast<std::size_t>(position));
        return 0;
    }
    int Store(const unsigned char* bytes, int length) override {
        if (failStores)
            return comm::kFileWriteError;
        data.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
        return 0;
    }
    int EndFile() override {
        ended.push_back(data);
        data.clear();
        return 0;
    }

    std::vector<protocol::OfferStep> answers;
    std::vector<std::string> offers;
    std::vector<std::optional<std::uint32_t>> proofs;
    std::vector<std::string> ended;
    std::string data;
    bool failStores{false};

  private:
    protocol::OfferStep Answer() {
        if (answers.empty())
            return protocol::OfferStep{};
        protocol::OfferStep step = answers.front();
        answers.erase(answers.begin());
        return step;
    }
};

// A sender's files side in memory: the files go in order, named "f0", "f1", ...
class MemorySource : public protocol::SenderFiles {
  public:
    explicit MemorySource(std::vector<std::string> files) : files{std::move(files)} {}

    protocol::SenderOffer Next(unsigned char* info, int capacity) override {
        if (next == files.size())
            return protocol::SenderOffer{};
        open = next++;
        const std::string text =
            "f" + std::to_string(open) + '\0' + std::to_string(files[open].size()) + " 0 0";
        const int length = std::min(static_cast<int>(text.size()), capacity);
        std::copy_n(text.data(), length, info);
        if (status)
            status->fileSize = static_cast<std::int64_t>(files[open].size());
        return protocol::SenderOffer{protocol::SenderOffer::Kind::File, length, 0};
    }
    int Read(std::int64_t position, unsigned char* data, int length) override {
        const std::string& file = files[open];
        const auto at = static_cast<std::size_t>(position);
        const std::size_t n = std::min(static_cast<std::size_t>(length), file.size() - at);
        std::copy_n(file.data() + at, n, data);
        ++reads;
        return static_cast<int>(n);
    }
    std::uint32_t Crc(std::int64_t length) override {
        const protocol::Crc32 crc32;
        return ~crc32.Update(reinterpret_cast<const unsigned char*>(files[open].data()),
                             static_cast<int>(length), protocol::Crc32::kSeed);
    }
    void Close() override { ++closed; }

    std::vector<std::string> files;
    protocol::TransferStatus* status{nullptr};
    std::size_t next{0};
    std::size_t open{0};
    int reads{0};
    int closed{0};
};

// A status whose trace lines are printed, with the simulated time, when
// SENDARI_MACHINE_TRACE is set: the story of a failing run.
class MachineStatus : public protocol::TransferStatus {
  public:
    MachineStatus(const char* who, const TimeMs& now);
    bool WantsTraceLines() const override { return m_print; }
    void TraceLine(const char* text) override;

  private:
    const char* m_who;
    const TimeMs& m_now;
    bool m_print;
};

// Which way bytes travel on the line.
enum class Way { ToReceiver, ToSender };

// What the line does to one piece of output (a header or a subpacket, counted from 0 in each
// direction).
enum class Fault { None, Damage, Drop };

// A sender and a receiver machine joined by a line that carries `bytesPerMs` each way with a
// delay, stepped a millisecond at a time.
class MachinePair {
  public:
    struct Line {
        TimeMs delayMs{20};
        std::size_t bytesPerMs{92};
        double noise{0.0}; // chance that a byte is damaged, both ways
        unsigned seed{1};
    };

    MachinePair(std::vector<std::string> files, protocol::SenderOptions senderOptions,
                protocol::ReceiverOptions receiverOptions, Line line)
        : source{std::move(files)}, tx{sendStatus, source, senderOptions},
          rx{receiveStatus, sink, receiverOptions}, m_line{line}, m_random{line.seed} {
        source.status = &sendStatus;
    }

    // The fault for piece `index` going `way`.
    std::function<Fault(Way way, int index)> fault{[](Way, int) { return Fault::None; }};

    // Runs until both machines finished or `limitMs` passed; the simulated time taken.
    TimeMs Run(TimeMs limitMs);

    TimeMs now{0};
    MachineStatus sendStatus{"send", now};
    MachineStatus receiveStatus{"receive", now};
    MemorySource source;
    MemoryFiles sink;
    protocol::ZmodemSender tx;
    protocol::ZmodemReceiver rx;
    int pieces[2]{0, 0};

  private:
    struct Side {
        protocol::zmodem::FrameReader reader{8192};
        std::string output;                              // written, not yet on the line
        std::deque<std::pair<TimeMs, std::string>> line; // on its way to the other side
        std::string input;                               // arrived, not yet read
    };

    void TakeSenderActions();
    void TakeReceiverActions();
    void Put(Way way, std::string bytes);
    void Carry(Side& from, Side& to);
    template <class Machine> void Deliver(Side& side, Machine& machine);
    template <class Machine> void Wake(Side& side, Machine& machine);

    Line m_line;
    std::mt19937 m_random;
    Side m_sender;
    Side m_receiver;
    protocol::zmodem::FrameEncoder m_encoder;
};

} // namespace machinetest
