// The receiver state machine in simulated time: frames from a scripted sender go in byte for
// byte, the headers it answers with and its wake-ups come out; no thread, link or clock.
#include "protocol/ZmodemReceiver.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "protocol/Checksum.h"
#include "tests/protocol/MachineSupport.h"

using namespace protocol;
using namespace protocol::zmodem;
using machinetest::MemoryFiles;

namespace {

// A receiver, its frame reader and a simulated clock, with the sender's frames made by the
// codec.
class ReceiverBench {
  public:
    explicit ReceiverBench(ReceiverOptions options = {}) : rx{status, files, options} {
        rx.Start(now);
        Collect();
    }

    void Feed(const std::string& wire) {
        machinetest::FeedWire(rx, reader, wire, now, [this] { Collect(); });
    }
    // Lets `ms` pass, waking the machine and the reader whenever they asked.
    void Pass(TimeMs ms) {
        machinetest::PassTime(
            rx, reader, now, now + ms, [] { return 0L; }, [this] { Collect(); });
    }
    std::vector<int> SentTypes() const {
        std::vector<int> types;
        for (const Header& header : sent)
            types.push_back(header.type);
        return types;
    }
    void ClearSent() { sent.clear(); }

    static std::string HexFrame(int type, std::uint32_t position = 0) {
        return machinetest::HexFrame(type, position);
    }
    static std::string BinFrame(int type, std::uint32_t position = 0) {
        unsigned char out[kMaxBinaryHeaderBytes];
        FrameEncoder encoder;
        return Bytes(out,
                     encoder.BinaryHeader(Header::AtPosition(type, position), Check::Crc32, out));
    }
    static std::string Data(const std::string& data, int endCode) {
        std::vector<unsigned char> out(2 * data.size() + 11);
        FrameEncoder encoder;
        return Bytes(out.data(),
                     encoder.Subpacket(reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<int>(data.size()), endCode, Check::Crc32,
                                       out.data()));
    }
    static std::string Offer(const std::string& info) {
        return BinFrame(kZfile) + Data(std::string(info) + '\0', kZcrcw);
    }

    TransferStatus status;
    MemoryFiles files;
    ZmodemReceiver rx;
    FrameReader reader{8192};
    TimeMs now{0};
    std::vector<Header> sent;
    int discards{0};

  private:
    static std::string Bytes(const unsigned char* out, int n) {
        return {reinterpret_cast<const char*>(out), static_cast<std::size_t>(n)};
    }
    void Collect() {
        for (const ZmodemReceiver::Action& action : rx.TakeActions()) {
            if (action.kind == ZmodemReceiver::Action::Kind::DiscardInput) {
                ++discards;
                reader.Reset();
            } else {
                sent.push_back(action.header);
            }
        }
    }
};

const std::string kFirst(3000, 'a');

// A data frame from the start of kFirst whose second subpacket is damaged.
std::string SecondSubpacketDamaged() {
    std::string damaged = ReceiverBench::Data(kFirst.substr(1024, 1024), kZcrcg);
    damaged[100] ^= 0x01;
    return ReceiverBench::BinFrame(kZdata, 0) +
           ReceiverBench::Data(kFirst.substr(0, 1024), kZcrcg) + damaged;
}

} // namespace

TEST(ZmodemReceiverMachine, TakesTwoFilesAndAnswersTheFinish) {
    ReceiverBench bench;
    ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrinit}));
    EXPECT_EQ(bench.sent[0].data[kZf0], 0x27);
    EXPECT_EQ(bench.sent[0].Position() & 0xFFFF, 0u); // buffer size 0: stream at will
    for (const std::string name : {"one", "two"}) {
        bench.ClearSent();
        bench.Feed(ReceiverBench::Offer(name + " 3000 0"));
        ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos}));
        bench.Feed(ReceiverBench::BinFrame(kZdata, 0) +
                   ReceiverBench::Data(kFirst.substr(0, 1024), kZcrcg) +
                   ReceiverBench::Data(kFirst.substr(1024, 1024), kZcrcq) +
                   ReceiverBench::Data(kFirst.substr(2048), kZcrce) +
                   ReceiverBench::HexFrame(kZeof, 3000));
        // ZCRCQ is acknowledged at its position; the ZEOF brings the next invitation.
        ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos, kZack, kZrinit}));
        EXPECT_EQ(bench.sent[1].Position(), 2048u);
    }
    EXPECT_EQ(bench.files.ended, (std::vector<std::string>{kFirst, kFirst}));
    bench.ClearSent();
    bench.Feed(ReceiverBench::HexFrame(kZfin));
    EXPECT_FALSE(bench.rx.Finished());
    // The ZFIN answer was lost: the sender asks again, then says "OO".
    bench.Feed(ReceiverBench::HexFrame(kZfin) + "OO");
    EXPECT_TRUE(bench.rx.Finished());
    EXPECT_EQ(bench.rx.Result(), 0);
    EXPECT_EQ(bench.SentTypes(), (std::vector<int>{kZfin, kZfin}));
    EXPECT_EQ(bench.status.errors, 0);
}

TEST(ZmodemReceiverMachine, ADamagedSubpacketIsAskedForAgainAndItsStaleFollowersPassOver) {
    ReceiverBench bench;
    bench.Feed(ReceiverBench::Offer("f 3000 0"));
    bench.ClearSent();
    bench.Feed(SecondSubpacketDamaged());
    ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos}));
    EXPECT_EQ(bench.sent[0].Position(), 1024u);
    EXPECT_EQ(bench.discards, 1);
    EXPECT_EQ(bench.status.errors, 1);
    // What the sender had in flight arrives before it sees the ZRPOS: passed over uncounted.
    bench.ClearSent();
    bench.Feed(ReceiverBench::Data(kFirst.substr(2048), kZcrce) +
               ReceiverBench::HexFrame(kZeof, 3000));
    EXPECT_TRUE(bench.SentTypes().empty());
    EXPECT_EQ(bench.status.errors, 1);
    bench.Feed(ReceiverBench::BinFrame(kZdata, 1024) +
               ReceiverBench::Data(kFirst.substr(1024), kZcrce) +
               ReceiverBench::HexFrame(kZeof, 3000));
    EXPECT_EQ(bench.files.ended, (std::vector<std::string>{kFirst}));
}

TEST(ZmodemReceiverMachine, AfterAZrposStaleInputThatStopsIsAskedAgainSoonASilentLineAfterASecond) {
    ReceiverBench bench;
    bench.Feed(ReceiverBench::Offer("f 3000 0"));
    // The sender answers the first ZRPOS after 50 ms: later asks may come after twice that.
    bench.Pass(50);
    bench.ClearSent();
    bench.Feed(SecondSubpacketDamaged());
    ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos}));
    // Stale input after this ask, then quiet: asked again a quarter second after it stopped.
    bench.ClearSent();
    bench.Pass(100);
    bench.Feed("stale");
    bench.Pass(249);
    EXPECT_TRUE(bench.SentTypes().empty());
    bench.Pass(1);
    ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos}));
    EXPECT_EQ(bench.sent[0].Position(), 1024u);
    // Nothing came since: a full second.
    bench.ClearSent();
    bench.Pass(999);
    EXPECT_TRUE(bench.SentTypes().empty());
    bench.Pass(1);
    EXPECT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos}));
    // Silence is counted as an error once for every ten seconds of it.
    EXPECT_EQ(bench.status.errors, 1);
    bench.Pass(10000);
    EXPECT_EQ(bench.status.errors, 2);
}

TEST(ZmodemReceiverMachine, ZeofsAwayFromThePositionFollowTheirRules) {
    ReceiverBench bench;
    bench.Feed(ReceiverBench::Offer("f 3000 0"));
    // While resynchronising, one stale ZEOF is passed over; a second means the ZRPOS was lost.
    bench.ClearSent();
    bench.Feed(ReceiverBench::HexFrame(kZeof, 77));
    EXPECT_TRUE(bench.SentTypes().empty());
    bench.Feed(ReceiverBench::HexFrame(kZeof, 77));
    ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos}));
    // A subpacket lost whole: the ZEOF lies beyond what arrived, and the frame is asked for
    // again from where it began.
    bench.ClearSent();
    bench.Feed(
        ReceiverBench::BinFrame(kZdata, 0) + ReceiverBench::Data(kFirst.substr(0, 1024), kZcrcg) +
        ReceiverBench::Data(kFirst.substr(2048), kZcrce) + ReceiverBench::HexFrame(kZeof, 3000));
    ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZrpos}));
    EXPECT_EQ(bench.sent[0].Position(), 0u);
    EXPECT_TRUE(bench.files.ended.empty());
    // The same loss shown by the next frame's header: the sender is further on than the data
    // that arrived.
    ReceiverBench next;
    next.Feed(ReceiverBench::Offer("f 3000 0"));
    next.Feed(ReceiverBench::BinFrame(kZdata, 0) +
              ReceiverBench::Data(kFirst.substr(0, 1024), kZcrcg) +
              ReceiverBench::Data(kFirst.substr(2048, 512), kZcrcw));
    next.ClearSent();
    next.Feed(ReceiverBench::BinFrame(kZdata, 2560));
    ASSERT_EQ(next.SentTypes(), (std::vector<int>{kZrpos}));
    EXPECT_EQ(next.sent[0].Position(), 0u);
}

TEST(ZmodemReceiverMachine, AskedCopiesAreProvenByTheSendersCrcOrGoOnWithoutProof) {
    ReceiverBench bench;
    bench.files.answers = {OfferStep{OfferStep::Kind::Verify, 100, 0},
                           OfferStep{OfferStep::Kind::Verify, 200, 0},
                           OfferStep{OfferStep::Kind::Skip, 0, 0}};
    bench.ClearSent();
    bench.Feed(ReceiverBench::Offer("f 3000 0"));
    ASSERT_EQ(bench.SentTypes(), (std::vector<int>{kZcrc}));
    EXPECT_EQ(bench.sent[0].Position(), 100u);
    bench.Feed(ReceiverBench::HexFrame(kZcrc, 0x12345678));
    // A damaged answer is asked for once more; a silent sender leaves the question open.
    std::string damaged = ReceiverBench::HexFrame(kZcrc, 1);
    damaged[8] = 'f';
    bench.Feed(damaged);
    bench.Pass(ZmodemReceiver::kCrcAnswerMs);
    ASSERT_EQ(bench.files.proofs.size(), 2u);
    EXPECT_EQ(bench.files.proofs[0], 0x12345678u);
    EXPECT_EQ(bench.files.proofs[1], std::nullopt);
    EXPECT_EQ(bench.SentTypes(), (std::vector<int>{kZcrc, kZcrc, kZcrc, kZskip, kZrinit}));
    EXPECT_EQ(bench.status.errors, 0);
}

TEST(ZmodemReceiverMachine, TheRunEndsOnCancelWriteFailureRetryLimitAndAbsentCaller) {
    {
        ReceiverBench bench;
        bench.Feed(ReceiverBench::Offer("f 3000 0") + std::string(5, kCan));
        EXPECT_TRUE(bench.rx.Finished());
        EXPECT_EQ(bench.rx.Result(), comm::kRemoteCancelled);
    }
    {
        ReceiverBench bench;
        bench.files.failStores = true;
        bench.Feed(ReceiverBench::Offer("f 3000 0"));
        bench.ClearSent();
        bench.Feed(ReceiverBench::BinFrame(kZdata, 0) + ReceiverBench::Data("x", kZcrcw));
        EXPECT_EQ(bench.rx.Result(), comm::kFileWriteError);
        EXPECT_TRUE(bench.SentTypes().empty());
    }
    {
        ReceiverBench bench;
        bench.Feed(ReceiverBench::Offer("f 3000 0"));
        for (int i = 0; i < 10 && !bench.rx.Finished(); ++i)
            bench.Feed(ReceiverBench::BinFrame(kZdata, 5));
        EXPECT_EQ(bench.rx.Result(), comm::kTooManyErrors);
    }
    for (bool answered : {false, true}) {
        // A sender that hangs up once its ZFIN was answered ended the session; before, the
        // broken line ends the run.
        ReceiverBench bench;
        if (answered)
            bench.Feed(ReceiverBench::HexFrame(kZfin) + "O");
        bench.rx.OnLinkFailed(comm::kLostCarrier);
        EXPECT_TRUE(bench.rx.Finished());
        EXPECT_EQ(bench.rx.Result(), answered ? 0 : comm::kLostCarrier);
    }
    {
        // The application's receiver: silence is no error, but a caller who never starts a
        // sender is given up after two minutes.
        ReceiverOptions options;
        options.silenceCounts = false;
        options.offerSilenceLimit = 30;
        options.firstFrameLimitMs = 120000;
        ReceiverBench bench{options};
        bench.Feed(std::string(HeaderDecoder::kGarbageLimit, 'g')); // no header, like silence
        bench.Pass(119999);
        EXPECT_FALSE(bench.rx.Finished());
        bench.Pass(10000);
        EXPECT_EQ(bench.rx.Result(), comm::kTimedOut);
        // A ZRINIT at the start, after the garbage, and every ten silent seconds.
        EXPECT_EQ(bench.SentTypes().size(), 13u);
        EXPECT_EQ(bench.status.errors, 0);
    }
}

namespace {

// A streaming sender that obeys ZRPOS and shortens its subpackets after errors, at the far end of a
// line that carries `bytesPerMs`, holds `inFlight` bytes and damages bytes at random; the
// receiver's headers come back intact after the same delay. Everything runs on the bench's
// simulated clock.
class NoisyLineRun {
  public:
    NoisyLineRun(std::vector<std::string> files, double noise, unsigned seed)
        : m_files{std::move(files)}, m_noise{noise}, m_random{seed} {}

    // Simulated milliseconds until the receiver finished, or the limit.
    TimeMs Run(ReceiverBench& bench, TimeMs limitMs) {
        std::size_t heard = 0;
        while (!bench.rx.Finished() && bench.now < limitMs) {
            for (; heard < bench.sent.size(); ++heard)
                m_answers.push_back({bench.now + kDelayMs, bench.sent[heard]});
            while (!m_answers.empty() && m_answers.front().first <= bench.now) {
                Hear(m_answers.front().second);
                m_answers.erase(m_answers.begin());
            }
            Stream(bench.now);
            std::string arrived;
            while (!m_line.empty() && m_line.front().first <= bench.now) {
                arrived += m_line.front().second;
                m_line.erase(m_line.begin());
            }
            bench.Feed(arrived);
            bench.Pass(1);
        }
        return bench.now;
    }

  private:
    static constexpr TimeMs kDelayMs = 20;
    static constexpr int kBytesPerMs = 92;
    static constexpr std::size_t kInFlight = 16384;
    enum class State { Idle, Offered, Sending, Ended, Finishing };

    void Hear(const Header& header) {
        switch (header.type) {
        case kZrinit:
            if (m_state == State::Ended || m_state == State::Idle)
                NextFile();
            else if (m_state == State::Offered)
                Offer(); // the offer was lost
            else if (m_state == State::Finishing)
                m_queue = ReceiverBench::HexFrame(kZfin);
            break;
        case kZnak:
            Offer();
            break;
        case kZskip:
            NextFile();
            break;
        case kZrpos:
            // What the line holds already still arrives: only the sender's own queue goes.
            // A careful sender: shorter subpackets after an error, longer after clean ones.
            m_position = header.Position();
            m_block = std::max<std::size_t>(64, m_block / 2);
            m_clean = 0;
            m_queue = ReceiverBench::BinFrame(kZdata, header.Position());
            m_state = State::Sending;
            break;
        case kZfin:
            m_queue = "OO";
            break;
        default:
            break;
        }
    }
    void NextFile() {
        if (m_next == m_files.size()) {
            m_state = State::Finishing;
            m_queue = ReceiverBench::HexFrame(kZfin);
            return;
        }
        m_current = m_files[m_next++];
        Offer();
    }
    void Offer() {
        m_state = State::Offered;
        m_queue = ReceiverBench::Offer("f" + std::to_string(m_next) + " " +
                                       std::to_string(m_current.size()) + " 0");
    }
    // Puts a millisecond's worth of output on the line, making more as the queue runs low.
    void Stream(TimeMs now) {
        if (m_state == State::Sending && m_queue.size() < 2048) {
            if (++m_clean % 8 == 0)
                m_block = std::min<std::size_t>(1024, m_block * 2);
            const std::size_t n = std::min(m_block, m_current.size() - m_position);
            const bool last = m_position + n == m_current.size();
            m_queue += ReceiverBench::Data(m_current.substr(m_position, n), last ? kZcrce : kZcrcg);
            m_position += n;
            if (last) {
                m_queue += ReceiverBench::HexFrame(kZeof, static_cast<std::uint32_t>(m_position));
                m_state = State::Ended;
            }
        }
        std::size_t held = 0;
        for (const auto& piece : m_line)
            held += piece.second.size();
        const std::size_t n = std::min({m_queue.size(), static_cast<std::size_t>(kBytesPerMs),
                                        kInFlight > held ? kInFlight - held : 0});
        std::string piece = m_queue.substr(0, n);
        m_queue.erase(0, n);
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        for (char& c : piece)
            if (chance(m_random) < m_noise)
                c = static_cast<char>(c ^ (1 << (m_random() % 8)));
        if (!piece.empty())
            m_line.push_back({now + kDelayMs, piece});
    }

    std::vector<std::string> m_files;
    double m_noise;
    std::mt19937 m_random;
    std::size_t m_next{0};
    std::string m_current;
    std::size_t m_position{0};
    std::size_t m_block{1024};
    int m_clean{0};
    State m_state{State::Idle};
    std::string m_queue;
    std::vector<std::pair<TimeMs, std::string>> m_line;
    std::vector<std::pair<TimeMs, Header>> m_answers;
};

} // namespace

// Long runs of random noise on the data, three files a run, in simulated time: every file
// arrives byte for byte, and the run ends well inside the time-outs.
TEST(ZmodemReceiverMachine, ThreeFilesThroughRandomNoiseArriveWhole) {
    std::vector<std::string> files;
    for (std::size_t size : {60000u, 1u, 30000u}) {
        std::string data(size, '\0');
        std::mt19937 random(static_cast<unsigned>(size));
        for (char& c : data)
            c = static_cast<char>(random());
        files.push_back(data);
    }
    for (double noise : {1e-4, 1e-3}) {
        for (unsigned seed : {11u, 12u, 21u}) {
            ReceiverBench bench;
            NoisyLineRun run{files, noise, seed};
            const TimeMs took = run.Run(bench, 300000);
            ASSERT_TRUE(bench.rx.Finished()) << noise << " seed " << seed;
            EXPECT_EQ(bench.rx.Result(), 0) << noise << " seed " << seed;
            EXPECT_EQ(bench.files.ended.size(), files.size()) << noise << " seed " << seed;
            EXPECT_TRUE(bench.files.ended == files) << noise << " seed " << seed;
            EXPECT_LT(took, 60000) << noise << " seed " << seed;
        }
    }
}
