// The ZMODEM receiver over the loopback link: against this program's own sender for whole
// transfers, resumes and skips, and against a scripted sender for the protocol's edge cases
// (ZSINIT, ZDATA at a wrong position, damaged subpackets, unsafe or overlong names).
#include "protocol/Zmodem.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/LocalFileEngine.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/protocol/ScriptedPeer.h"

using prototest::OnHeaderError;
using prototest::ScriptedPeer;
using namespace protocol;
using namespace protocol::zmodem;
using namespace comm;
using prototest::LinkPair;
using prototest::Pattern;
using prototest::RecordingStatus;
using testsupport::TempDir;

namespace {

// Makes a folder current for the life of the object: the receiver writes where it stands.
class CurrentFolder {
  public:
    explicit CurrentFolder(const std::filesystem::path& folder)
        : m_previous{std::filesystem::current_path()} {
        std::filesystem::create_directories(folder);
        std::filesystem::current_path(folder);
    }
    ~CurrentFolder() { std::filesystem::current_path(m_previous); }

  private:
    std::filesystem::path m_previous;
};

time_t ModificationTime(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mtime : -1;
}

void SetModificationTime(LocalFileEngine& engine, std::string path, int seconds) {
    ASSERT_EQ(engine.Open(path, "ab"), 0);
    engine.SetDateFromSeconds(seconds);
    ASSERT_EQ(engine.ApplyDate(), 0);
    ASSERT_EQ(engine.Close(), 0);
}

struct ReceiverFixture : testing::Test {
    ReceiverFixture() : in{dir.Path() / "in"}, receiver(wire.nearSerial.get(), &status) {
        receiver.SetFileEngine(&receiverEngine);
    }

    // Our sender on another thread against the receiver on this one.
    int Transfer(const std::string& list, int* sendResult = nullptr) {
        RecordingStatus sendStatus;
        LocalFileEngine sendEngine;
        Zmodem sender(wire.farSerial.get(), &sendStatus);
        sender.SetFileEngine(&sendEngine);
        sender.SetWindowedSending(false);
        int sent = 0;
        std::thread peer([&] { sent = sender.Send(list.c_str()); });
        int result = receiver.Receive();
        peer.join();
        if (sendResult)
            *sendResult = sent;
        return result;
    }

    platform::ScopedTimeAcceleration fast{20.0};
    TempDir dir;
    CurrentFolder in;
    LinkPair wire;
    RecordingStatus status;
    LocalFileEngine receiverEngine;
    Zmodem receiver;
};

// A sender built from the frame layer alone, driven step by step by a test.
class ScriptedSender {
  public:
    explicit ScriptedSender(LinkPair& wire) : m_wire{wire}, z(wire.farSerial.get(), &status) {
        z.SetReceiverCapabilities(kCanFcs32, 0);
    }

    // The next header from the receiver; its position in `position`.
    int Read(int* position = nullptr) {
        int type = z.ReadFrameHeader(OnHeaderError::Return);
        if (position)
            *position = static_cast<int>(ScriptedPeer::PositionFromHeader(z.ReceivedHeader()));
        return type;
    }
    void Header(int type, int position = 0, int zf0 = 0, int zf1 = 0) {
        unsigned char h[4];
        ScriptedPeer::PositionToHeader(position, h);
        if (type == kZfile) {
            h[kZf0] = static_cast<unsigned char>(zf0);
            h[kZf1] = static_cast<unsigned char>(zf1);
        }
        z.SendBinaryHeader(type, h);
    }
    void Subpacket(const std::string& data, int endCode) {
        std::memcpy(z.DataBuffer(), data.data(), data.size());
        z.SendDataSubpacket(static_cast<int>(data.size()), endCode);
    }
    // Writes a subpacket whose CRC belongs to other data.
    void DamagedSubpacket(const std::string& data, int endCode) {
        std::string other = data;
        other[0] = static_cast<char>(other[0] ^ 0x01);
        Crc32 crc32;
        std::uint32_t crc = crc32.Update(reinterpret_cast<const unsigned char*>(other.data()),
                                         static_cast<int>(other.size()), Crc32::kSeed);
        crc = ~Crc32::UpdateByte(crc, static_cast<unsigned char>(endCode));
        unsigned char check[4];
        for (int i = 0; i < 4; ++i)
            check[i] = static_cast<unsigned char>(crc >> (8 * i));
        unsigned char out[2 * 1024 + 16];
        int n = zmodem::FrameEncoder{}.Escape(reinterpret_cast<const unsigned char*>(data.data()),
                                              static_cast<int>(data.size()), out);
        out[n++] = kZdle;
        out[n++] = static_cast<unsigned char>(endCode);
        n += zmodem::FrameEncoder{}.Escape(check, 4, out + n);
        m_wire.farLink->WriteBuffer(out, n);
    }
    void Offer(const std::string& info, int zf0 = 0, int zf1 = 0) {
        Header(kZfile, 0, zf0, zf1);
        std::memcpy(z.DataBuffer(), info.data(), info.size());
        z.SendDataSubpacket(static_cast<int>(info.size()), kZcrcw);
    }
    // Ends the conversation once the receiver invites the next file.
    void Finish() {
        z.SendHexHeader(kZfin, std::array<unsigned char, 4>{}.data());
        Read();
        m_wire.farLink->WriteBuffer(reinterpret_cast<const unsigned char*>("OO"), 2);
    }

    LinkPair& m_wire;
    RecordingStatus status;
    ScriptedPeer z;
};

struct ScriptedFixture : ReceiverFixture {
    ScriptedFixture() : sender(wire) {}

    void Start() {
        peer = std::thread([this] { result = receiver.Receive(); });
    }
    // A test that failed half-way stops the receiver rather than leave it running.
    ~ScriptedFixture() override {
        if (peer.joinable()) {
            status.abortAnswer = kUserCancelled;
            peer.join();
        }
        if (HasFailure())
            for (const auto& line : status.traces)
                std::printf("  trace: %s\n", line.c_str());
    }
    int Join() {
        peer.join();
        return result;
    }

    ScriptedSender sender;
    std::thread peer;
    int result{1};
};

} // namespace

using ZmodemReceiverRun = ReceiverFixture;
using ZmodemReceiverScript = ScriptedFixture;

TEST_F(ZmodemReceiverRun, ReceivesEveryFileOfOurSenderWithItsDate) {
    std::string big = Pattern(100000, 1);
    std::string escaped;
    for (int i = 0; i < 5000; ++i)
        escaped += "\x18\x10\x11\x13\x0d\x98\x90\x91\x93\x8d"[i % 10];
    dir.WriteFile("out/big.bin", big);
    dir.WriteFile("out/escaped.bin", escaped);
    dir.WriteFile("out/one", "1");
    dir.WriteFile("out/empty", "");
    LocalFileEngine dates;
    dates.SetDateFields(2003, 4, 5, 6, 7, 8);
    const int seconds = dates.DateAsSeconds();
    SetModificationTime(dates, dir / "out/big.bin", seconds);
    int sent = 1;
    ASSERT_EQ(Transfer(dir / "out/*", &sent), 0);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(status.filesDone, 4);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/big.bin"), big);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/escaped.bin"), escaped);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/one"), "1");
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "in/empty"));
    EXPECT_EQ(ModificationTime(dir / "in/big.bin"), ModificationTime(dir / "out/big.bin"));
    EXPECT_TRUE(status.Traced("GetFileName: sending RINIT"));
    EXPECT_TRUE(status.Traced("ReadFileData: frame_type=11"));
    EXPECT_EQ(status.checkType, kCheckCrc32);
}

TEST_F(ZmodemReceiverRun, ResumesAPartialCopyAtItsEnd) {
    std::string data = Pattern(300000, 2);
    dir.WriteFile("out/r.bin", data);
    dir.WriteFile("in/r.bin", data.substr(0, 120000));
    ASSERT_EQ(Transfer(dir / "out/r.bin"), 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/r.bin"), data);
    EXPECT_TRUE(status.Traced("Resuming at offset 120000"));
    // Only the missing part crossed the line.
    EXPECT_LT(wire.farLink->BytesWritten(), 200000);
}

TEST_F(ZmodemReceiverRun, CompleteCopyIsClosedByZeofCountedAndStamped) {
    std::string data = Pattern(4000, 3);
    dir.WriteFile("out/c.bin", data);
    dir.WriteFile("in/c.bin", data);
    LocalFileEngine dates;
    SetModificationTime(dates, dir / "out/c.bin", 1000000000);
    // The broken call left the copy stamped with the sender's date.
    SetModificationTime(dates, dir / "in/c.bin", 1000000000);
    int sent = 0;
    ASSERT_EQ(Transfer(dir / "out/c.bin", &sent), 0);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(status.filesDone, 1);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/c.bin"), data);
    EXPECT_LT(wire.farLink->BytesWritten(), 1000);
    EXPECT_FALSE(std::filesystem::exists(dir / "in/c#2.bin"));
}

TEST_F(ZmodemReceiverRun, AnUnrelatedLocalFileIsNeitherResumedNorRestamped) {
    const std::string theirs = Pattern(6000, 5);
    dir.WriteFile("out/u.bin", theirs);
    LocalFileEngine dates;
    SetModificationTime(dates, dir / "out/u.bin", 1100000000);
    for (const std::string& mine : {Pattern(2000, 6), Pattern(6000, 7)}) {
        dir.WriteFile("in/u.bin", mine);
        SetModificationTime(dates, dir / "in/u.bin", 1000000000);
        ASSERT_EQ(Transfer(dir / "out/u.bin"), 0);
        EXPECT_EQ(status.filesDone, 1);
        EXPECT_TRUE(TempDir::ReadFile(dir.Path() / "in/u.bin") == mine);
        EXPECT_EQ(ModificationTime(dir / "in/u.bin"), 1000000000);
        EXPECT_TRUE(TempDir::ReadFile(dir.Path() / "in/u#2.bin") == theirs);
        std::filesystem::remove(dir / "in/u#2.bin");
    }
}

TEST_F(ZmodemReceiverRun, BrokenLinkLeavesNoFileCountedAsReceived) {
    platform::ScopedTimeAcceleration faster(500.0);
    dir.WriteFile("out/cut.bin", Pattern(100000, 4));
    wire.farLink->DropAfter(30000);
    receiver.SetCarrierWatch(1);
    int result = Transfer(dir / "out/cut.bin");
    EXPECT_LT(result, 0);
    EXPECT_EQ(status.filesDone, 0);
    EXPECT_LT(std::filesystem::file_size(dir.Path() / "in/cut.bin"), 100000u);
}

TEST_F(ZmodemReceiverScript, ZrinitIsHexWithCapabilitiesAndNoBufferLimit) {
    Start();
    ASSERT_EQ(sender.Read(), kZrinit);
    EXPECT_EQ(sender.z.HeaderForm(), kZhex);
    const unsigned char* h = sender.z.ReceivedHeader();
    EXPECT_EQ(h[0], 0);
    EXPECT_EQ(h[1], 0);
    EXPECT_EQ(h[kZf0], 0x27);
    // A ZSINIT is acknowledged, and no ZRINIT follows to cross what the sender does next.
    for (int i = 0; i < 2; ++i) {
        sender.z.SendBinaryHeader(kZsinit, std::array<unsigned char, 4>{}.data());
        sender.Subpacket(std::string("attn\0", 5), kZcrcw);
        ASSERT_EQ(sender.Read(), kZack);
    }
    sender.Finish();
    EXPECT_EQ(Join(), 0);
    EXPECT_TRUE(status.Traced("GetFileName: good ZSINIT"));
    EXPECT_EQ(status.CountOf("GetFileName: sending RINIT"), 1);
    EXPECT_EQ(status.errors, 0);
}

TEST_F(ZmodemReceiverScript, WrongPositionAndDamagedSubpacketAreAnsweredWithZrpos) {
    Start();
    ASSERT_EQ(sender.Read(), kZrinit);
    const std::string a = Pattern(1024, 5), b = Pattern(1024, 6), c = Pattern(500, 7);
    sender.Offer(std::string("f.bin\0", 6) + "2548", 0, 0);
    int at = -1;
    ASSERT_EQ(sender.Read(&at), kZrpos);
    EXPECT_EQ(at, 0);
    // A frame that starts where the receiver is not: refused, nothing written.
    sender.Header(kZdata, 1024);
    sender.Subpacket(b, kZcrcw);
    ASSERT_EQ(sender.Read(&at), kZrpos);
    EXPECT_EQ(at, 0);
    sender.Header(kZdata, 0);
    sender.Subpacket(a, kZcrcg);
    sender.DamagedSubpacket(b, kZcrcg);
    ASSERT_EQ(sender.Read(&at), kZrpos);
    EXPECT_EQ(at, 1024); // the first byte not yet written
    sender.Header(kZdata, 1024);
    sender.Subpacket(b, kZcrcq);
    ASSERT_EQ(sender.Read(&at), kZack) << at;
    EXPECT_EQ(at, 2048);
    sender.Subpacket(c, kZcrcw);
    ASSERT_EQ(sender.Read(&at), kZack);
    EXPECT_EQ(at, 2548);
    // A ZEOF at the wrong position means a subpacket went missing whole somewhere in the
    // frame: the receiver asks for the frame again from where it began.
    sender.Header(kZeof, 2000);
    ASSERT_EQ(sender.Read(&at), kZrpos);
    EXPECT_EQ(at, 1024);
    sender.Header(kZdata, 1024);
    sender.Subpacket(b, kZcrcg);
    sender.Subpacket(c, kZcrce);
    sender.Header(kZeof, 2548);
    ASSERT_EQ(sender.Read(), kZrinit);
    sender.Finish();
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/f.bin"), a + b + c);
    EXPECT_EQ(status.filesDone, 1);
    EXPECT_TRUE(status.Traced("ReadFileData: Mismatch in rx_pos"));
    EXPECT_TRUE(status.Traced("ZEOF at wrong position"));
    EXPECT_TRUE(status.Traced("Sending a new file offset!!!"));
    EXPECT_EQ(status.errors, 3);
    // A file information text without a date leaves the file with the time it was written.
    EXPECT_GT(ModificationTime(dir / "in/f.bin"), time(nullptr) - 100);
}

TEST_F(ZmodemReceiverScript, ADestroyedRestartIsAskedForAgainSoonButNotBeforeItsAnswerIsDue) {
    const std::string a = Pattern(1024, 5), b = Pattern(1024, 6), c = Pattern(1024, 7);
    int at = -1;
    std::uint32_t first = 0, again = 0;
    {
        platform::ScopedTimeAcceleration gently(2.0);
        Start();
        ASSERT_EQ(sender.Read(), kZrinit);
        sender.Offer(std::string("f.bin\0", 6) + "3072", 0, 0);
        ASSERT_EQ(sender.Read(&at), kZrpos);
        sender.Header(kZdata, 0);
        sender.Subpacket(a, kZcrcg);
        sender.DamagedSubpacket(b, kZcrcg);
        ASSERT_EQ(sender.Read(&at), kZrpos);
        EXPECT_EQ(at, 1024);
        // Noise destroys the frame the sender restarts with: once what came of it has
        // stopped, the receiver asks again after a quarter of a second.
        sender.DamagedSubpacket(b, kZcrcw);
        std::uint32_t since = platform::GetTickCount();
        ASSERT_EQ(sender.Read(&at), kZrpos);
        EXPECT_EQ(at, 1024);
        first = platform::TicksSince(since);
        // Nothing at all comes back: the next ask waits a second.
        since = platform::GetTickCount();
        ASSERT_EQ(sender.Read(&at), kZrpos);
        again = platform::TicksSince(since);
        sender.Header(kZdata, 1024);
        sender.Subpacket(b, kZcrcg);
        sender.DamagedSubpacket(c, kZcrcg);
        ASSERT_EQ(sender.Read(&at), kZrpos);
        EXPECT_EQ(at, 2048);
        // This sender is slow to answer, and the receiver learns it: after stale input it
        // no longer asks again before twice that time has passed.
        platform::Sleep(500);
        sender.Header(kZdata, 2048);
        sender.DamagedSubpacket(c, kZcrcg);
        ASSERT_EQ(sender.Read(&at), kZrpos);
        EXPECT_EQ(at, 2048);
        sender.DamagedSubpacket(c, kZcrcg);
        platform::Sleep(400);
        sender.Header(kZdata, 2048);
        sender.Subpacket(c, kZcrce);
        sender.Header(kZeof, 3072);
        EXPECT_EQ(sender.Read(), kZrinit);
    }
    EXPECT_LT(first, 750u);
    EXPECT_GE(again, 500u);
    sender.Finish();
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/f.bin"), a + b + c);
}

TEST_F(ZmodemReceiverScript, ALostZackOfAZcrcwIsFollowedByTheAskedPositionAfterASecond) {
    Start();
    ASSERT_EQ(sender.Read(), kZrinit);
    sender.Offer(std::string("w.bin\0", 6) + "2048", 0, 0);
    int at = -1;
    ASSERT_EQ(sender.Read(&at), kZrpos);
    sender.Header(kZdata, 0);
    sender.Subpacket(Pattern(1024, 7), kZcrcw);
    ASSERT_EQ(sender.Read(&at), kZack);
    // The sender never heard it and waits: the receiver speaks again, after a second.
    const std::uint32_t acked = platform::GetTickCount();
    ASSERT_EQ(sender.Read(&at), kZrpos);
    EXPECT_EQ(at, 1024);
    EXPECT_LT(platform::TicksSince(acked), 3000u);
    EXPECT_LT(Join(), 0);
}

TEST_F(ZmodemReceiverScript, TheLastFileIsReportedWhenTheEndArrivesAllAtOnce) {
    Start();
    ASSERT_EQ(sender.Read(), kZrinit);
    const std::string a = Pattern(700, 9);
    sender.Offer(std::string("last.bin\0", 9) + "700", 0, 0);
    ASSERT_EQ(sender.Read(), kZrpos);
    // Data, ZEOF, ZFIN and "OO" in one go: the receiver never waits after the file.
    sender.Header(kZdata, 0);
    sender.Subpacket(a, kZcrce);
    sender.Header(kZeof, 700);
    sender.z.SendHexHeader(kZfin, std::array<unsigned char, 4>{}.data());
    sender.m_wire.farLink->WriteBuffer(reinterpret_cast<const unsigned char*>("OO"), 2);
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(status.filesDone, 1);
    EXPECT_EQ(status.progressFilesDone, 1);
    EXPECT_EQ(status.progressName, "");
}

struct NameCase {
    std::string offered;
    std::string stored;
};

class ReceivedNames : public ScriptedFixture, public testing::WithParamInterface<NameCase> {};

TEST_P(ReceivedNames, NeverLeaveTheReceiveFolder) {
    const NameCase& c = GetParam();
    Start();
    ASSERT_EQ(sender.Read(), kZrinit);
    sender.Offer(c.offered + std::string("\0", 1) + "3 0");
    int at = -1;
    ASSERT_EQ(sender.Read(&at), kZrpos);
    sender.Header(kZdata, 0);
    sender.Subpacket("abc", kZcrcw);
    ASSERT_EQ(sender.Read(&at), kZack);
    sender.Header(kZeof, 3);
    ASSERT_EQ(sender.Read(), kZrinit);
    sender.Finish();
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in" / c.stored), "abc");
    std::size_t inside = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path()))
        inside += entry.is_regular_file();
    EXPECT_EQ(inside, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Unsafe, ReceivedNames,
    testing::Values(NameCase{"../escape.txt", "escape.txt"}, NameCase{"/etc/abs.txt", "abs.txt"},
                    NameCase{"..", "_"}, NameCase{"", "_"}, NameCase{"dir/..", "_"},
                    NameCase{"C:\\win\\x.txt", "x.txt"},
                    // Cut to the name buffer, then to what the file system stores.
                    NameCase{std::string(600, 'n'), std::string(255, 'n')},
                    NameCase{std::string(300, 'n') + ".txt", std::string(251, 'n') + ".txt"}));

TEST_F(ZmodemReceiverScript, NamesStayInsideWithoutPathStrippingToo) {
    receiver.SetStripPaths(false);
    Start();
    ASSERT_EQ(sender.Read(), kZrinit);
    sender.Offer(std::string("../../up.txt\0", 13) + "0 0");
    int at = -1;
    ASSERT_EQ(sender.Read(&at), kZrpos);
    sender.Header(kZeof, 0);
    ASSERT_EQ(sender.Read(), kZrinit);
    sender.Finish();
    EXPECT_EQ(Join(), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "in/up.txt"));
}

// A shorter local copy is resumed only when the sender's CRC of as many bytes matches it; a
// sender that does not answer ZCRC gets the rule of name, size and date after a short wait.
TEST_F(ZmodemReceiverScript, ACopyIsResumedOnTheSendersCrcOrWithoutAnAnswerOnItsDate) {
    const std::string data = Pattern(3000, 21);
    LocalFileEngine dates;
    const int date = 1100000000;
    const Crc32 crc32;
    const std::uint32_t crc =
        ~crc32.Update(reinterpret_cast<const unsigned char*>(data.data()), 1000, Crc32::kSeed);
    struct Round {
        const char* name;
        long answer; // -1: the sender says nothing
        int expectedStart;
    } rounds[] = {{"same.bin", crc, 1000}, {"other.bin", crc ^ 1, 0}, {"silent.bin", -1, 1000}};
    for (const Round& r : rounds) {
        dir.WriteFile(std::string("in/") + r.name, data.substr(0, 1000));
        SetModificationTime(dates, dir / (std::string("in/") + r.name), date);
    }
    Start();
    for (const Round& r : rounds) {
        ASSERT_EQ(sender.Read(), kZrinit) << r.name;
        char octal[16];
        std::snprintf(octal, sizeof octal, "%o", date); // dates go in octal
        sender.Offer(std::string(r.name) + '\0' + "3000 " + octal + " 0", 0, 0);
        int asked = -1;
        ASSERT_EQ(sender.Read(&asked), kZcrc) << r.name;
        EXPECT_EQ(asked, 1000);
        if (r.answer >= 0)
            sender.Header(kZcrc, static_cast<int>(r.answer));
        int start = -1;
        ASSERT_EQ(sender.Read(&start), kZrpos) << r.name;
        EXPECT_EQ(start, r.expectedStart) << r.name;
        sender.Header(kZdata, start);
        for (int at = start; at < 3000; at += 1000)
            sender.Subpacket(data.substr(static_cast<std::size_t>(at), 1000),
                             at + 1000 < 3000 ? kZcrcg : kZcrce);
        sender.Header(kZeof, 3000);
    }
    ASSERT_EQ(sender.Read(), kZrinit);
    sender.Finish();
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/same.bin"), data);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/silent.bin"), data);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/other.bin"), data.substr(0, 1000));
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/other#2.bin"), data);
}

// A disk that fills up in the middle of a file: the failure counts only the bytes that
// reached the disk, not those that were still in the write buffer.
TEST_F(ZmodemReceiverRun, AFullDiskLeavesTheFiguresAtWhatReachedIt) {
    const std::string data = Pattern(400000, 22);
    dir.WriteFile("out/full.bin", data);
    struct rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit small = before;
    small.rlim_cur = 150000; // files of this process cannot grow beyond it
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = Transfer(dir / "out/full.bin");
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(result, kFileWriteError);
    EXPECT_EQ(status.filesDone, 0);
    const auto stored = std::filesystem::file_size(dir.Path() / "in/full.bin");
    EXPECT_LE(stored, 150000u);
    EXPECT_EQ(static_cast<std::uintmax_t>(status.position), stored);
}
