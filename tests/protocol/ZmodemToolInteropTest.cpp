// The sendari-zmodem command against an independent ZMODEM implementation (Debian's lrzsz):
// our sender to rz, sz to our receiver, and crash recovery in both directions. The two
// programs run as child processes joined through a relay in this process, which counts the
// bytes each way and can cut the line in the middle of a file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/PeerProcess.h"
#include "tests/support/TempDir.h"

using testsupport::ByteRelay;
using testsupport::PeerProcess;
using testsupport::TempDir;

namespace {

constexpr auto kRunLimit = std::chrono::seconds(60);
constexpr int kMiB = 1 << 20;

bool HaveProgram(const char* name) {
    std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

struct Outcome {
    int sender{-1};
    int receiver{-1};
    long bytesFromSender{0};
};

std::string Tool() {
    return SENDARI_ZMODEM_TOOL;
}

struct InteropFixture : testing::Test {
    void SetUp() override {
        if (!HaveProgram("sz") || !HaveProgram("rz"))
            GTEST_SKIP() << "lrzsz is not installed";
        std::filesystem::create_directories(out);
        std::filesystem::create_directories(in);
    }

    // Runs `senderArgv` in the out folder against `receiverArgv` in the in folder.
    Outcome Run(const std::vector<std::string>& senderArgv,
                const std::vector<std::string>& receiverArgv, long cutAfter = -1) {
        int s[2], r[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), 0);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, r), 0);
        Outcome outcome;
        {
            ByteRelay relay(s[0], r[0], cutAfter);
            PeerProcess sender(out, senderArgv, s[1], dir.Path() / "sender.log");
            PeerProcess receiver(in, receiverArgv, r[1], dir.Path() / "receiver.log");
            ::close(s[1]);
            ::close(r[1]);
            auto deadline = std::chrono::steady_clock::now() + kRunLimit;
            outcome.sender = sender.Wait(deadline);
            outcome.receiver = receiver.Wait(deadline);
            outcome.bytesFromSender = relay.fromFirst;
        }
        ::close(s[0]);
        ::close(r[0]);
        return outcome;
    }

    std::string Log(const char* name) { return TempDir::ReadFile(dir.Path() / name); }

    void WriteOut(const std::string& name, const std::string& data, time_t date) {
        dir.WriteFile("out/" + name, data);
        struct timespec times[2]{{date, 0}, {date, 0}};
        ::utimensat(AT_FDCWD, (out / name).c_str(), times, 0);
        files.emplace_back(name, data);
    }

    // The set every direction is tried with.
    void WriteStandardSet() {
        std::mt19937 random(77);
        std::string noise(kMiB, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        const unsigned char special[] = {0x18, 0x10, 0x11, 0x13, 0x0D,
                                         0x98, 0x90, 0x91, 0x93, 0x8D};
        std::string escapes(kMiB, '\0');
        for (std::size_t i = 0; i < escapes.size(); ++i)
            escapes[i] = static_cast<char>(special[random() % sizeof special]);
        WriteOut("empty", "", 1000000000);
        WriteOut("one", "1", 1100000000);
        WriteOut("noise.bin", noise, 1200000000);
        WriteOut("escapes.bin", escapes, 1300000000);
        WriteOut("name with spaces, and a comma.txt", "spaced\n", 1400000000);
    }

    void ExpectAllArrived() {
        for (const auto& [name, data] : files) {
            std::filesystem::path got = in / name;
            ASSERT_TRUE(std::filesystem::exists(got)) << name;
            EXPECT_TRUE(TempDir::ReadFile(got) == data) << name << " differs";
            struct stat a {
            }, b{};
            ::stat((out / name).c_str(), &a);
            ::stat(got.c_str(), &b);
            EXPECT_EQ(b.st_mtime, a.st_mtime) << name;
        }
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& file : files)
            names.push_back(file.first);
        return names;
    }

    TempDir dir;
    std::filesystem::path out{dir.Path() / "out"};
    std::filesystem::path in{dir.Path() / "in"};
    std::vector<std::pair<std::string, std::string>> files;
};

// What a resumed run may carry: the missing bytes, their escaping (random data escapes
// about 9 bytes in 256) and the protocol's headers.
long ResumeAllowance(std::size_t missing) {
    return static_cast<long>(missing + missing / 20 + 16 * 1024);
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

using LrzszPeer = InteropFixture;

TEST_F(LrzszPeer, RzReceivesEverythingOurSenderSends) {
    WriteStandardSet();
    Outcome o = Run(Concat({Tool(), "send"}, Names()), {"rz", "-q", "-y"});
    EXPECT_EQ(o.sender, 0) << Log("sender.log");
    EXPECT_EQ(o.receiver, 0) << Log("receiver.log");
    ExpectAllArrived();
}

TEST_F(LrzszPeer, OurReceiverTakesEverythingSzSends) {
    WriteStandardSet();
    Outcome o = Run(Concat({"sz", "-q"}, Names()), {Tool(), "receive"});
    EXPECT_EQ(o.sender, 0) << Log("sender.log");
    EXPECT_EQ(o.receiver, 0) << Log("receiver.log");
    ExpectAllArrived();
}

TEST_F(LrzszPeer, RzResumesWhatOurSenderLeftUnfinished) {
    std::mt19937 random(5);
    std::string data(3 * kMiB, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    WriteOut("resume.bin", data, 1500000000);
    Outcome first = Run({Tool(), "send", "resume.bin"}, {"rz", "-q", "-r"}, kMiB);
    EXPECT_NE(first.sender, 0);
    EXPECT_NE(first.sender, -1) << "the sender did not notice the cut";
    EXPECT_NE(first.receiver, -1) << "the receiver did not notice the cut";
    ASSERT_TRUE(std::filesystem::exists(in / "resume.bin")) << Log("receiver.log");
    const auto kept = std::filesystem::file_size(in / "resume.bin");
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, data.size());
    Outcome second = Run({Tool(), "send", "resume.bin"}, {"rz", "-q", "-r"});
    EXPECT_EQ(second.sender, 0) << Log("sender.log");
    EXPECT_EQ(second.receiver, 0) << Log("receiver.log");
    ExpectAllArrived();
    // The second run carried only what was missing (and the protocol's own bytes).
    EXPECT_LT(second.bytesFromSender, ResumeAllowance(data.size() - kept));
    RecordProperty("second_run_bytes", std::to_string(second.bytesFromSender));
}

TEST_F(LrzszPeer, OurReceiverResumesWhatSzLeftUnfinished) {
    std::mt19937 random(6);
    std::string data(3 * kMiB, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    WriteOut("resume.bin", data, 1500000000);
    Outcome first = Run({"sz", "-q", "-r", "resume.bin"}, {Tool(), "--resume", "receive"}, kMiB);
    EXPECT_NE(first.receiver, 0);
    EXPECT_NE(first.sender, -1) << "the sender did not notice the cut";
    EXPECT_NE(first.receiver, -1) << "the receiver did not notice the cut";
    ASSERT_TRUE(std::filesystem::exists(in / "resume.bin"));
    const auto kept = std::filesystem::file_size(in / "resume.bin");
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, data.size());
    // The partial file is a clean beginning of the original.
    EXPECT_TRUE(TempDir::ReadFile(in / "resume.bin") == data.substr(0, kept));
    // The partial copy is proven by sz's CRC of its first bytes, and only the rest crosses.
    Outcome second = Run({"sz", "-q", "-r", "resume.bin"}, {Tool(), "-t", "--resume", "receive"});
    EXPECT_EQ(second.sender, 0) << Log("sender.log");
    EXPECT_EQ(second.receiver, 0) << Log("receiver.log");
    ExpectAllArrived();
    EXPECT_LT(second.bytesFromSender, ResumeAllowance(data.size() - kept));
    EXPECT_NE(Log("receiver.log").find(" match"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(in / "resume#2.bin"));
    RecordProperty("second_run_bytes", std::to_string(second.bytesFromSender));
}

TEST_F(LrzszPeer, ASameNamedDifferentFileFromSzIsReceivedWholeAsANewCopy) {
    // Same name, same date, the local copy shorter: only the bytes tell it is another file.
    std::mt19937 random(9);
    std::string data(kMiB, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    WriteOut("report.bin", data, 1500000000);
    std::string other = data.substr(0, kMiB / 2);
    other[1000] ^= 0x55;
    dir.WriteFile("in/report.bin", other);
    struct timespec times[2]{{1500000000, 0}, {1500000000, 0}};
    ::utimensat(AT_FDCWD, (in / "report.bin").c_str(), times, 0);
    Outcome o = Run({"sz", "-q", "-r", "report.bin"}, {Tool(), "-v", "--resume", "receive"});
    EXPECT_EQ(o.sender, 0) << Log("sender.log");
    EXPECT_EQ(o.receiver, 0) << Log("receiver.log");
    EXPECT_TRUE(TempDir::ReadFile(in / "report.bin") == other);
    EXPECT_TRUE(TempDir::ReadFile(in / "report#2.bin") == data);
    EXPECT_GT(o.bytesFromSender, static_cast<long>(data.size()));
    EXPECT_NE(Log("receiver.log").find("received as report#2.bin"), std::string::npos);
}

TEST_F(LrzszPeer, OurOwnPairResumesThroughTheCommand) {
    std::mt19937 random(7);
    std::string data(2 * kMiB, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    WriteOut("own.bin", data, 1600000000);
    Outcome first = Run({Tool(), "send", "own.bin"}, {Tool(), "--resume", "receive"}, kMiB / 2);
    EXPECT_GT(first.sender, 0) << "the sender did not notice the cut";
    EXPECT_GT(first.receiver, 0) << "the receiver did not notice the cut";
    // Our sender answers the receiver's ZCRC: the copy is proven, not taken on trust.
    Outcome second = Run({Tool(), "send", "own.bin"}, {Tool(), "-t", "--resume", "receive"});
    EXPECT_EQ(second.sender, 0) << Log("sender.log");
    EXPECT_EQ(second.receiver, 0) << Log("receiver.log");
    ExpectAllArrived();
    EXPECT_LT(second.bytesFromSender, static_cast<long>(data.size()) - kMiB / 4);
    EXPECT_NE(Log("receiver.log").find(" match"), std::string::npos);
}

TEST_F(LrzszPeer, SzEscapingEveryControlCharacterIsReceivedWhole) {
    // With -e, sz opens with a ZSINIT whose subpacket follows a hex header's line end and
    // XON: that XON is no part of the subpacket.
    WriteStandardSet();
    Outcome o = Run(Concat({"sz", "-q", "-e"}, Names()), {Tool(), "receive"});
    EXPECT_EQ(o.sender, 0) << Log("sender.log");
    EXPECT_EQ(o.receiver, 0) << Log("receiver.log");
    ExpectAllArrived();
}

TEST_F(LrzszPeer, ReplacingALongerFileLeavesNoStaleTail) {
    WriteOut("short.txt", std::string(3000, 'A'), 1700000000);
    dir.WriteFile("in/short.txt", std::string(6000, 'X'));
    // -y asks the receiver to replace an existing file; the user allows it.
    Outcome o = Run({"sz", "-q", "-y", "short.txt"}, {Tool(), "--overwrite", "receive"});
    EXPECT_EQ(o.sender, 0) << Log("sender.log");
    EXPECT_EQ(o.receiver, 0) << Log("receiver.log");
    ExpectAllArrived();
}

TEST_F(LrzszPeer, AnAppendTheUserAllowsAddsTheWholeOfferToTheEnd) {
    dir.WriteFile("out/log.txt", "second part\n");
    dir.WriteFile("in/log.txt", "first part, longer than the second\n");
    Outcome o = Run({"sz", "-q", "--append", "log.txt"}, {Tool(), "--overwrite", "receive"});
    EXPECT_EQ(o.sender, 0) << Log("sender.log");
    EXPECT_EQ(o.receiver, 0) << Log("receiver.log");
    EXPECT_EQ(TempDir::ReadFile(in / "log.txt"),
              "first part, longer than the second\nsecond part\n");
}

TEST_F(LrzszPeer, ExistingFilesAreKeptWhateverTheSenderAsksUnlessTheUserAllows) {
    // Replace (-y) and newer-or-longer (-n with a newer date): neither touches the user's
    // files; each offer arrives beside them under a numbered name, and links are not followed.
    TempDir outside;
    const std::string victim = outside.WriteFile("victim.txt", "outside the folder");
    WriteOut("keep.txt", std::string(3000, 'A'), 1700000000);
    WriteOut("newer.txt", "newer", 1800000000);
    WriteOut("linked.txt", "through a link", 1700000000);
    WriteOut("dangling.txt", "through a dangling link", 1700000000);
    dir.WriteFile("in/keep.txt", std::string(6000, 'X'));
    dir.WriteFile("in/newer.txt", "old");
    std::filesystem::create_symlink(victim, in / "linked.txt");
    std::filesystem::create_symlink(outside / "created.txt", in / "dangling.txt");
    for (const char* option : {"-y", "-n"}) {
        Outcome o = Run({"sz", "-q", option, "keep.txt", "newer.txt", "linked.txt", "dangling.txt"},
                        {Tool(), "-v", "receive"});
        EXPECT_EQ(o.sender, 0) << Log("sender.log");
        EXPECT_EQ(o.receiver, 0) << Log("receiver.log");
        EXPECT_EQ(TempDir::ReadFile(in / "keep.txt"), std::string(6000, 'X'));
        EXPECT_EQ(TempDir::ReadFile(in / "newer.txt"), "old");
        EXPECT_EQ(TempDir::ReadFile(victim), "outside the folder");
        EXPECT_FALSE(std::filesystem::exists(outside / "created.txt"));
    }
    EXPECT_NE(Log("receiver.log").find("newer.txt exists: received as newer#3.txt"),
              std::string::npos);
    EXPECT_EQ(TempDir::ReadFile(in / "keep#2.txt"), std::string(3000, 'A'));
    // Newer or longer: the local keep.txt is both, so the second offer of it is skipped.
    EXPECT_FALSE(std::filesystem::exists(in / "keep#3.txt"));
    EXPECT_EQ(TempDir::ReadFile(in / "newer#2.txt"), "newer");
    EXPECT_EQ(TempDir::ReadFile(in / "newer#3.txt"), "newer");
    EXPECT_EQ(TempDir::ReadFile(in / "linked#2.txt"), "through a link");
    EXPECT_EQ(TempDir::ReadFile(in / "dangling#2.txt"), "through a dangling link");
    EXPECT_TRUE(std::filesystem::is_symlink(in / "linked.txt"));
}

TEST_F(LrzszPeer, AClosedLineEndsOurProgramAtOnceAndQuietly) {
    for (const char* command : {"receive", "send"}) {
        dir.WriteFile("out/x.bin", "x");
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        std::vector<std::string> argv{Tool(), command};
        if (std::string(command) == "send")
            argv.push_back("x.bin");
        const auto start = std::chrono::steady_clock::now();
        PeerProcess peer(out, argv, pair[1], dir.Path() / "peer.log");
        ::close(pair[1]);
        // The other side reads what comes and then goes away, as a caller who hangs up.
        char buffer[256];
        pollfd p{pair[0], POLLIN, 0};
        ::poll(&p, 1, 300);
        [[maybe_unused]] ssize_t n = ::read(pair[0], buffer, sizeof buffer);
        ::close(pair[0]);
        int exit = peer.Wait(start + kRunLimit);
        const double seconds = std::chrono::duration<double>(peer.Ended() - start).count();
        EXPECT_NE(exit, 0) << command;
        EXPECT_NE(exit, -1) << command << ": still running at the limit";
        EXPECT_LT(seconds, 3.0) << command << "\n" << Log("peer.log");
        // Ending, including the settle after the cancel, waits on the line: no spinning.
        EXPECT_LT(peer.CpuSeconds(), 0.3) << command;
    }
}
