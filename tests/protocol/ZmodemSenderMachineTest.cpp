// The sender state machine in simulated time: alone against a scripted receiver's headers,
// and joined to the receiver machine by a simulated line that damages or drops chosen frames
// or random bytes. No thread, link or clock.
#include "protocol/ZmodemSender.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "protocol/Checksum.h"
#include "protocol/ReceivingZmodem.h"
#include "tests/protocol/MachineSupport.h"

using namespace protocol;
using namespace protocol::zmodem;
using machinetest::Fault;
using machinetest::MachinePair;
using machinetest::MemorySource;
using machinetest::Way;

namespace {

// One thing the sender sent: a header (its type and position) or a subpacket (`type` -1, its
// end code and length), or "OO" (`type` 'O').
struct Sent {
    int type{0};
    std::uint32_t position{0};
    int endCode{0};
    int length{0};
};

constexpr int kSubpacket = -1;

std::string Random(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    std::mt19937 random(seed);
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

// A sender with its files in memory and a simulated clock; the receiver's headers are made by
// the codec.
class SenderBench {
  public:
    explicit SenderBench(std::vector<std::string> files, SenderOptions options = Streaming())
        : source{std::move(files)}, tx{status, source, options} {
        source.status = &status;
        tx.Start(now);
        Collect();
    }

    static SenderOptions Streaming() {
        SenderOptions options;
        options.windowed = false;
        return options;
    }

    void Feed(const std::string& wire) {
        machinetest::FeedWire(tx, reader, wire, now, [this] { Collect(); });
        Write();
    }
    // Lets `ms` pass with `queued` bytes of output unsent at the first wake-up, one fewer at
    // each next one (output that drains).
    void Pass(TimeMs ms, long queued = 0) {
        machinetest::PassTime(
            tx, reader, now, now + ms, [&queued] { return queued > 0 ? queued-- : 0L; },
            [this] {
                Collect();
                Write();
            });
    }
    // The header types sent, in order, with subpackets as kSubpacket.
    std::vector<int> Types() const {
        std::vector<int> types;
        for (const Sent& s : sent)
            types.push_back(s.type);
        return types;
    }
    std::vector<int> EndCodes() const {
        std::vector<int> codes;
        for (const Sent& s : sent)
            if (s.type == kSubpacket)
                codes.push_back(s.endCode);
        return codes;
    }
    void Clear() { sent.clear(); }

    static std::string Hex(int type, std::uint32_t position = 0) {
        return machinetest::HexFrame(type, position);
    }
    // A receiver's invitation: full duplex, overlapped I/O and CRC-32, buffer size 0.
    static std::string Init() {
        return Hex(kZrinit, static_cast<std::uint32_t>(kCanFullDuplex | kCanOverlapIo | kCanFcs32)
                                << 24);
    }

    TransferStatus status;
    MemorySource source;
    ZmodemSender tx;
    FrameReader reader{8192};
    TimeMs now{0};
    std::vector<Sent> sent;
    int purges{0};

  private:
    // The link takes whatever the sender has to write.
    void Write() {
        while (tx.WantsToWrite()) {
            tx.OnWritable(now);
            Collect();
        }
    }
    void Collect() {
        using Kind = ZmodemSender::Action::Kind;
        for (const ZmodemSender::Action& action : tx.TakeActions()) {
            switch (action.kind) {
            case Kind::SendHex:
            case Kind::SendBinary:
                sent.push_back(Sent{action.header.type, action.header.Position(), 0, 0});
                break;
            case Kind::SendSubpacket:
                sent.push_back(Sent{kSubpacket, 0, action.endCode, action.length});
                break;
            case Kind::PurgeOutput:
                ++purges;
                break;
            case Kind::OverAndOut:
                sent.push_back(Sent{'O', 0, 0, 0});
                break;
            }
        }
    }
};

const std::string kFile = Random(3000, 7);

// Brings a bench with kFile to the end of its streamed data: offer, ZRPOS 0, three subpackets
// and the ZEOF.
void StreamToEof(SenderBench& bench) {
    bench.Feed(SenderBench::Init());
    bench.Feed(SenderBench::Hex(kZrpos, 0));
    ASSERT_EQ(bench.Types().back(), kZeof);
    bench.Clear();
}

} // namespace

TEST(ZmodemSenderMachine, TheRequestGoesAgainEveryTenSilentSecondsUntilTheRetryLimit) {
    SenderBench bench{{kFile}};
    ASSERT_EQ(bench.Types(), (std::vector<int>{kZrqinit}));
    bench.Pass(9999);
    EXPECT_EQ(bench.Types().size(), 1u);
    bench.Pass(1);
    EXPECT_EQ(bench.Types(), (std::vector<int>{kZrqinit, kZrqinit}));
    EXPECT_EQ(bench.status.errors, 1);
    // Output still draining explains a silence: those seconds do not count.
    bench.Pass(10000, 10);
    EXPECT_EQ(bench.status.errors, 1);
    bench.Pass(200000);
    EXPECT_TRUE(bench.tx.Finished());
    EXPECT_EQ(bench.tx.Result(), comm::kTooManyErrors);
    EXPECT_EQ(bench.Types().size(), 10u);
}

TEST(ZmodemSenderMachine, AnOfferCrossedByAZrinitGoesAgainOnlyWhenNothingFollows) {
    SenderBench bench{{kFile}};
    bench.Feed(SenderBench::Init());
    ASSERT_EQ(bench.Types(), (std::vector<int>{kZrqinit, kZfile, kSubpacket}));
    EXPECT_EQ(bench.sent[2].endCode, kZcrcw);
    EXPECT_EQ(bench.source.next, 1u);
    // The answer follows the crossed ZRINIT: no second offer.
    bench.Clear();
    bench.Feed(SenderBench::Init());
    bench.Pass(1000);
    bench.Feed(SenderBench::Hex(kZskip));
    EXPECT_EQ(bench.Types(), (std::vector<int>{kZfin}));
    EXPECT_EQ(bench.status.filesSkipped, 1);
    EXPECT_EQ(bench.status.errors, 0);

    SenderBench quiet{{kFile}};
    quiet.Feed(SenderBench::Init());
    quiet.Clear();
    quiet.Feed(SenderBench::Init());
    quiet.Pass(1499);
    EXPECT_TRUE(quiet.Types().empty());
    quiet.Pass(1);
    EXPECT_EQ(quiet.Types(), (std::vector<int>{kZfile, kSubpacket}));
    EXPECT_EQ(quiet.status.errors, 1);
}

TEST(ZmodemSenderMachine, ARestartEndsItsFrameWithZcrcwAndGoesAgainAfterTwoQuietSeconds) {
    SenderBench bench{{kFile}};
    bench.Feed(SenderBench::Init());
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZrpos, 0));
    EXPECT_EQ(bench.Types(), (std::vector<int>{kZdata, kSubpacket, kSubpacket, kSubpacket, kZeof}));
    EXPECT_EQ(bench.EndCodes(), (std::vector<int>{kZcrcg, kZcrcg, kZcrce}));
    // The receiver asks for 1024 again: the frame stops after one subpacket to be confirmed.
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZrpos, 1024));
    EXPECT_EQ(bench.purges, 1);
    ASSERT_EQ(bench.Types(), (std::vector<int>{kZdata, kSubpacket}));
    EXPECT_EQ(bench.sent[0].position, 1024u);
    EXPECT_EQ(bench.sent[1].endCode, kZcrcw);
    EXPECT_EQ(bench.sent[1].length, 1024);
    bench.Clear();
    bench.Pass(1999);
    EXPECT_TRUE(bench.Types().empty());
    bench.Pass(1);
    ASSERT_EQ(bench.Types(), (std::vector<int>{kZdata, kSubpacket}));
    EXPECT_EQ(bench.sent[0].position, 1024u);
    // Quiet rounds count one error for every ten seconds of them.
    EXPECT_EQ(bench.status.errors, 0);
    bench.Pass(8000);
    EXPECT_EQ(bench.status.errors, 1);
    // Asked for the same place twice running: the frame carries an empty subpacket.
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZrpos, 1024));
    ASSERT_EQ(bench.Types(), (std::vector<int>{kZdata, kSubpacket}));
    EXPECT_EQ(bench.sent[1].length, 0);
    // Confirmed: the stream goes on to the end.
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZack, 1024));
    EXPECT_EQ(bench.Types(), (std::vector<int>{kZdata, kSubpacket, kSubpacket, kZeof}));
    EXPECT_EQ(bench.EndCodes(), (std::vector<int>{kZcrcg, kZcrce}));
}

TEST(ZmodemSenderMachine, AFileCountsAsSentOnlyWhenTheReceiverConfirmsItsZeof) {
    SenderBench bench{{kFile, "x"}};
    StreamToEof(bench);
    // Silence, a damaged answer and a ZRPOS at the very end each bring the ZEOF again.
    bench.Pass(10000);
    std::string damaged = SenderBench::Hex(kZrinit);
    damaged[6] = 'x';
    bench.Feed(damaged);
    bench.Feed(SenderBench::Hex(kZrpos, 3000));
    EXPECT_EQ(bench.Types(), (std::vector<int>{kZeof, kZeof, kZeof}));
    EXPECT_EQ(bench.status.errors, 3);
    EXPECT_EQ(bench.status.filesDone, 0);
    EXPECT_EQ(bench.source.closed, 0);
    bench.Clear();
    bench.Feed(SenderBench::Init());
    EXPECT_EQ(bench.status.filesDone, 1);
    EXPECT_EQ(bench.status.retries, 0);
    EXPECT_EQ(bench.source.closed, 1);
    EXPECT_EQ(bench.Types(), (std::vector<int>{kZfile, kSubpacket}));
}

TEST(ZmodemSenderMachine, ZcrcIsAnsweredWithTheCrcOfTheAskedBytesFourTimesAnOffer) {
    SenderBench bench{{kFile}};
    bench.Feed(SenderBench::Init());
    bench.Clear();
    for (int i = 0; i < ZmodemSender::kCrcAnswersPerOffer; ++i)
        bench.Feed(SenderBench::Hex(kZcrc, 100));
    ASSERT_EQ(bench.Types(), std::vector<int>(4, kZcrc));
    const Crc32 crc32;
    const std::uint32_t crc =
        ~crc32.Update(reinterpret_cast<const unsigned char*>(kFile.data()), 100, Crc32::kSeed);
    EXPECT_EQ(bench.sent[0].position, crc);
    EXPECT_EQ(bench.status.errors, 0);
    bench.Feed(SenderBench::Hex(kZcrc, 100));
    EXPECT_EQ(bench.Types().size(), 4u);
    EXPECT_EQ(bench.status.errors, 1);
    // 0 asks for the whole file.
    SenderBench whole{{kFile}};
    whole.Feed(SenderBench::Init());
    whole.Clear();
    whole.Feed(SenderBench::Hex(kZcrc, 0));
    EXPECT_EQ(
        whole.sent[0].position,
        ~crc32.Update(reinterpret_cast<const unsigned char*>(kFile.data()), 3000, Crc32::kSeed));
}

TEST(ZmodemSenderMachine, AFullWindowWaitsForItsAcknowledgementAndCountsOnlyTrueSilence) {
    SenderOptions options;
    options.windowed = true;
    options.windowSize = 4096;
    SenderBench bench{{Random(10000, 3)}, options};
    bench.Feed(SenderBench::Init());
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZrpos, 0));
    EXPECT_EQ(bench.EndCodes(), (std::vector<int>{kZcrcq, kZcrcq, kZcrcq, kZcrcq}));
    EXPECT_FALSE(bench.tx.WantsToWrite());
    bench.Pass(1500, 5); // the output still drains
    EXPECT_EQ(bench.status.errors, 0);
    bench.Pass(1500);
    EXPECT_EQ(bench.status.errors, 1);
    // A ZACK for half the window lets two more go; one covering the rest, the last three.
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZack, 2048));
    EXPECT_EQ(bench.EndCodes(), (std::vector<int>{kZcrcq, kZcrcq}));
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZack, 6144));
    EXPECT_EQ(bench.EndCodes(), (std::vector<int>{kZcrcq, kZcrcq, kZcrcq, kZcrcw}));
    EXPECT_EQ(bench.status.retries, 0);
    // A stale ZACK is passed over; the last one ends the data.
    bench.Clear();
    bench.Feed(SenderBench::Hex(kZack, 1024));
    EXPECT_TRUE(bench.Types().empty());
    bench.Feed(SenderBench::Hex(kZack, 10000));
    EXPECT_EQ(bench.Types(), (std::vector<int>{kZeof}));

    // The last ZACKs lost: once the wait for them runs out, the ZEOF asks.
    SenderBench lost{{Random(3000, 3)}, options};
    lost.Feed(SenderBench::Init());
    lost.Feed(SenderBench::Hex(kZrpos, 0));
    lost.Clear();
    lost.Pass(1500);
    EXPECT_EQ(lost.Types(), (std::vector<int>{kZeof}));
    // Garbage while a full window waits ends the frame, as it does while data goes out.
    SenderBench noisy{{Random(10000, 3)}, options};
    noisy.Feed(SenderBench::Init());
    noisy.Feed(SenderBench::Hex(kZrpos, 0));
    noisy.Clear();
    noisy.Feed(std::string(ZmodemSender::kGarbageLimit + 1, 'g'));
    EXPECT_EQ(noisy.Types(), (std::vector<int>{kSubpacket}));
    EXPECT_EQ(noisy.EndCodes(), (std::vector<int>{kZcrce}));
}

TEST(ZmodemSenderMachine, TheGoodbyeEndsWellWhetherOrNotTheReceiverAnswers) {
    {
        SenderBench bench{{}};
        bench.Feed(SenderBench::Init());
        // A ZRINIT that crossed the ZFIN, then the answer.
        bench.Feed(SenderBench::Init());
        bench.Feed(SenderBench::Hex(kZfin));
        EXPECT_EQ(bench.Types(), (std::vector<int>{kZrqinit, kZfin, 'O'}));
        EXPECT_TRUE(bench.tx.Finished());
        EXPECT_EQ(bench.tx.Result(), 0);
    }
    {
        SenderBench bench{{}};
        bench.Feed(SenderBench::Init());
        bench.Pass(60000);
        EXPECT_EQ(bench.Types(), (std::vector<int>{kZrqinit, kZfin, kZfin, kZfin, 'O'}));
        EXPECT_EQ(bench.tx.Result(), 0);
    }
    {
        // The line breaks during the goodbye: nothing is lost; in the data, the run fails.
        SenderBench closing{{}};
        closing.Feed(SenderBench::Init());
        closing.tx.OnLinkFailed(comm::kLostCarrier);
        EXPECT_TRUE(closing.tx.Finished());
        EXPECT_EQ(closing.tx.Result(), 0);
        SenderBench sending{{kFile}};
        sending.Feed(SenderBench::Init());
        sending.tx.OnLinkFailed(comm::kLostCarrier);
        EXPECT_EQ(sending.tx.Result(), comm::kLostCarrier);
    }
    {
        // A receiver that cancels once every file is confirmed loses nothing either.
        SenderBench bench{{}};
        bench.Feed(SenderBench::Init());
        bench.Feed(std::string(5, kCan));
        EXPECT_TRUE(bench.tx.Finished());
        EXPECT_EQ(bench.tx.Result(), 0);
    }
}

TEST(ZmodemSenderMachine, RefusalsCancelsAndBadPositionsEndTheRun) {
    {
        SenderBench bench{{kFile}};
        bench.Feed(SenderBench::Init());
        bench.Feed(SenderBench::Hex(kZrpos, 3001));
        EXPECT_EQ(bench.tx.Result(), comm::kTransferError);
    }
    {
        SenderBench bench{{kFile}};
        bench.Feed(SenderBench::Init());
        bench.Feed(SenderBench::Hex(kZrpos, 0) + std::string(5, kCan));
        EXPECT_EQ(bench.tx.Result(), comm::kRemoteCancelled);
    }
    {
        SenderBench bench{{kFile}};
        StreamToEof(bench);
        bench.Feed(SenderBench::Hex(kZferr));
        EXPECT_EQ(bench.tx.Result(), comm::kRemoteCancelled);
        EXPECT_EQ(bench.status.filesDone, 0);
    }
}

namespace {

std::vector<std::string> SomeFiles(int count) {
    const std::size_t sizes[] = {2500, 1, 4100};
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i)
        files.push_back(Random(sizes[i], static_cast<unsigned>(i + 1)));
    return files;
}

SenderOptions ProductSender() {
    SenderOptions options;
    options.windowed = false;
    options.adaptive = true;
    return options;
}

// The application's receiver: silence is a time-out, not an error.
ReceiverOptions ProductReceiver() {
    ReceiverOptions options;
    options.silenceCounts = false;
    options.offerSilenceLimit = ReceivingZmodem::kSilenceLimit;
    options.firstFrameLimitMs = ReceivingZmodem::kFirstFrameLimitMs;
    return options;
}

SenderOptions WindowedSender() {
    SenderOptions options;
    options.windowed = true;
    options.windowSize = 2048;
    return options;
}

// Every file arrived byte for byte and both sides report success.
::testing::AssertionResult Delivered(const MachinePair& pair,
                                     const std::vector<std::string>& files) {
    if (!pair.tx.Finished() || !pair.rx.Finished())
        return ::testing::AssertionFailure() << "not finished at " << pair.now << " ms";
    if (pair.tx.Result() != 0 || pair.rx.Result() != 0)
        return ::testing::AssertionFailure()
               << "results " << pair.tx.Result() << " / " << pair.rx.Result();
    if (pair.sink.ended != files)
        return ::testing::AssertionFailure() << pair.sink.ended.size() << " of " << files.size()
                                             << " files arrived, or not whole";
    if (pair.sendStatus.filesDone != static_cast<int>(files.size()))
        return ::testing::AssertionFailure() << pair.sendStatus.filesDone << " files sent";
    return ::testing::AssertionSuccess();
}

} // namespace

// Each frame of a run, one at a time, damaged or dropped on its way in either direction, with
// one to three files: every file still arrives whole and both sides end well, within the
// time-outs. The streaming sender the product uses and a windowed one, each with the
// application's receiver and with one that counts silence as an error.
TEST(ZmodemSenderMachine, EveryFrameDamagedOrDroppedEitherWayStillDeliversEveryFile) {
    const MachinePair::Line line;
    int runs = 0;
    for (const SenderOptions& options : {ProductSender(), WindowedSender()}) {
        for (const ReceiverOptions& receiver : {ProductReceiver(), ReceiverOptions{}}) {
            for (int count = 1; count <= 3; ++count) {
                const std::vector<std::string> files = SomeFiles(count);
                MachinePair clean{files, options, receiver, line};
                clean.Run(60000);
                ASSERT_TRUE(Delivered(clean, files));
                for (Way way : {Way::ToReceiver, Way::ToSender}) {
                    const int pieces = clean.pieces[static_cast<int>(way)];
                    for (int index = 0; index < pieces; ++index) {
                        for (Fault kind : {Fault::Damage, Fault::Drop}) {
                            MachinePair pair{files, options, receiver, line};
                            pair.fault = [=](Way w, int i) {
                                return w == way && i == index ? kind : Fault::None;
                            };
                            pair.Run(120000);
                            ++runs;
                            EXPECT_TRUE(Delivered(pair, files))
                                << count << " files, piece " << index
                                << (way == Way::ToReceiver ? " to the receiver" : " to the sender")
                                << (kind == Fault::Drop ? " dropped" : " damaged")
                                << (options.windowed ? ", windowed" : ", streaming")
                                << (receiver.silenceCounts ? "" : ", application's receiver");
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(runs, 400);
}

// Long runs of random noise in both directions, three files a run: every file arrives byte for
// byte, and the run ends well inside the time-outs.
TEST(ZmodemSenderMachine, ThreeFilesThroughRandomNoiseBothWaysArriveWhole) {
    const std::vector<std::string> files = {Random(60000, 1), Random(1, 2), Random(30000, 3)};
    for (double noise : {1e-4, 1e-3}) {
        for (unsigned seed : {11u, 12u, 21u}) {
            MachinePair::Line line;
            line.noise = noise;
            line.seed = seed;
            MachinePair pair{files, ProductSender(), {}, line};
            const TimeMs took = pair.Run(300000);
            EXPECT_TRUE(Delivered(pair, files)) << noise << " seed " << seed;
            EXPECT_LT(took, 60000) << noise << " seed " << seed;
        }
    }
}
