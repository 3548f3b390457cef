// Whole ZMODEM transfers, ours (sendari-zmodem to sendari-zmodem) beside lrzsz (sz to rz) in
// the same run over the same kind of line: throughput and CPU time on an unthrottled line,
// and line efficiency at 115200 bps. Prints each figure and the ratio ours/theirs.
//
//   zmodem_transfer_bench [--mib N] [--throttled-kib N] [--rounds N] [--no-throttled] [--pty]
//
// The programs talk over socket pairs, or with --pty over pseudo-terminals (where sz's
// closing flush of its terminal may throw away its last bytes).
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/PeerProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr long kLineBitsPerSecond = 115200;
constexpr int kBitsPerByte = 10; // start, eight data bits, stop
constexpr auto kRunLimit = std::chrono::minutes(10);

struct Result {
    bool ok{false};
    double seconds{0};
    double cpuSender{0};
    double cpuReceiver{0};
    long lineBytes{0};
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One end for each program (index 1) and one for the relay (index 0): a socket pair, or a
// pseudo-terminal whose slave the program gets.
bool MakeLine(bool pty, int fds[2]) {
    if (!pty)
        return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
    // Raw from the start: bytes that arrive before a program sets its own mode must not be
    // echoed or edited.
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&fds[0], &fds[1], nullptr, &raw, nullptr) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

Result Transfer(const fs::path& root, const std::vector<std::string>& sender,
                const std::vector<std::string>& receiver, const std::string& name,
                const std::string& data, long bytesPerSecond, bool pty) {
    fs::path out = root / "out", in = root / "in";
    fs::remove_all(in);
    fs::create_directories(in);
    int s[2], r[2];
    if (!MakeLine(pty, s) || !MakeLine(pty, r))
        return {};
    Result result;
    {
        testsupport::ByteRelay relay(s[0], r[0], -1, bytesPerSecond);
        const auto start = Clock::now();
        testsupport::PeerProcess send(out, sender, s[1], root / "sender.log");
        testsupport::PeerProcess receive(in, receiver, r[1], root / "receiver.log");
        ::close(s[1]);
        ::close(r[1]);
        const auto deadline = start + kRunLimit;
        int a = send.Wait(deadline), b = receive.Wait(deadline);
        // The transfer is over when the receiver has the file; a sender's closing pause
        // after the last exchange is not line time.
        result.seconds = std::chrono::duration<double>(receive.Ended() - start).count();
        result.cpuSender = send.CpuSeconds();
        result.cpuReceiver = receive.CpuSeconds();
        result.lineBytes = relay.fromFirst;
        result.ok = a == 0 && b == 0 && ReadAll(in / name) == data;
        if (!result.ok)
            std::fprintf(stderr, "  run failed: exit %d/%d\n%s%s", a, b,
                         ReadAll(root / "sender.log").c_str(),
                         ReadAll(root / "receiver.log").c_str());
    }
    ::close(s[0]);
    ::close(r[0]);
    return result;
}

Result Best(const std::vector<Result>& results) {
    Result best;
    for (const Result& r : results) {
        if (r.ok && (!best.ok || r.seconds < best.seconds))
            best = r;
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    int mib = 32, throttledKib = 256, rounds = 3;
    bool throttled = true, pty = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--mib") && i + 1 < argc)
            mib = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--throttled-kib") && i + 1 < argc)
            throttledKib = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-throttled"))
            throttled = false;
        else if (!std::strcmp(argv[i], "--pty"))
            pty = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--mib N] [--throttled-kib N] [--rounds N] "
                         "[--no-throttled] [--pty]\n",
                         argv[0]);
            return 2;
        }
    }
    char pattern[] = "/tmp/zmodem-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        return 1;
    const fs::path root = pattern;
    fs::create_directories(root / "out");

    std::mt19937 random(2024);
    std::string data(static_cast<std::size_t>(mib) << 20, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    { std::ofstream(root / "out/random.bin", std::ios::binary) << data; }
    const std::vector<std::string> ours{SENDARI_ZMODEM_TOOL, "send", "random.bin"};
    const std::vector<std::string> oursIn{SENDARI_ZMODEM_TOOL, "receive"};
    const std::vector<std::string> theirs{"sz", "-q", "random.bin"};
    const std::vector<std::string> theirsIn{"rz", "-q", "-y"};

    std::vector<Result> a, b;
    for (int round = 0; round < rounds; ++round) {
        a.push_back(Transfer(root, ours, oursIn, "random.bin", data, 0, pty));
        b.push_back(Transfer(root, theirs, theirsIn, "random.bin", data, 0, pty));
    }
    Result o = Best(a), t = Best(b);
    const double size = static_cast<double>(data.size());
    std::printf("Unthrottled %s, %d MiB of random data (best of %d):\n",
                pty ? "pseudo-terminals" : "socket pairs", mib, rounds);
    if (o.ok && t.ok) {
        std::printf("  ours    %.3f s  %7.1f MB/s  CPU %.3f + %.3f s  (%.4f s/MiB)\n", o.seconds,
                    size / o.seconds / 1e6, o.cpuSender, o.cpuReceiver,
                    (o.cpuSender + o.cpuReceiver) / mib);
        std::printf("  sz/rz   %.3f s  %7.1f MB/s  CPU %.3f + %.3f s  (%.4f s/MiB)\n", t.seconds,
                    size / t.seconds / 1e6, t.cpuSender, t.cpuReceiver,
                    (t.cpuSender + t.cpuReceiver) / mib);
        std::printf("  throughput ratio ours/theirs: %.2f (goal >= 1.0)\n", t.seconds / o.seconds);
        std::printf("  CPU per MiB ratio ours/theirs: %.2f (goal <= 1.0)\n",
                    (o.cpuSender + o.cpuReceiver) / (t.cpuSender + t.cpuReceiver));
    } else {
        std::printf("  a transfer failed (ours %s, sz/rz %s)\n", o.ok ? "ok" : "FAILED",
                    t.ok ? "ok" : "FAILED");
    }

    int status = o.ok && t.ok ? 0 : 1;
    if (throttled) {
        std::string part = data.substr(0, static_cast<std::size_t>(throttledKib) << 10);
        { std::ofstream(root / "out/random.bin", std::ios::binary | std::ios::trunc) << part; }
        const long rate = kLineBitsPerSecond / kBitsPerByte;
        Result ot = Transfer(root, ours, oursIn, "random.bin", part, rate, pty);
        Result tt = Transfer(root, theirs, theirsIn, "random.bin", part, rate, pty);
        auto efficiency = [&](const Result& r) {
            return 100.0 * part.size() * kBitsPerByte / (kLineBitsPerSecond * r.seconds);
        };
        std::printf("Line of %ld bps (%d bits per byte), %d KiB of random data:\n",
                    kLineBitsPerSecond, kBitsPerByte, throttledKib);
        if (ot.ok && tt.ok) {
            std::printf("  ours    %.2f s  efficiency %.1f%%  (%ld line bytes)\n", ot.seconds,
                        efficiency(ot), ot.lineBytes);
            std::printf("  sz/rz   %.2f s  efficiency %.1f%%  (%ld line bytes)\n", tt.seconds,
                        efficiency(tt), tt.lineBytes);
            std::printf("  efficiency ratio ours/theirs: %.3f (goal: ours >= 95%%)\n",
                        efficiency(ot) / efficiency(tt));
        } else {
            std::printf("  a transfer failed (ours %s, sz/rz %s)\n", ot.ok ? "ok" : "FAILED",
                        tt.ok ? "ok" : "FAILED");
            status = 1;
        }
    }
    fs::remove_all(root);
    return status;
}
