// sendari-vmodem: the virtual modem on a pseudo-terminal, so that any serial program on this
// machine can dial out over TCP and answer incoming calls through it.
//
// A pseudo-terminal carries bytes only: the program on the other side cannot drop DTR to
// hang up (it must use "+++" and ATH) and sees no DCD or RING lines, only the result texts.
#include "platform/VirtualModem.h"
#include "platform/NetAddress.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPollMs = 200;

struct Options {
    platform::VirtualModemConfig config;
    std::string link;
};

void Usage(FILE* to) {
    std::fprintf(
        to, "Usage: sendari-vmodem [--listen ADDR:PORT] [--rate BPS|unlimited] [--telnet]\n"
            "                      [--link PATH]\n"
            "Presents a Hayes-compatible modem over TCP on a pseudo-terminal. The first line\n"
            "of output is the terminal's path. Dial host:port (ATDT127.0.0.1:2323); incoming\n"
            "calls ring on ADDR:PORT (default 127.0.0.1:2323). Runs until interrupted.\n"
            "A pseudo-terminal has no DTR, DCD or RING lines: hang up with +++ and ATH.\n"
            "\n"
            "Telnet: a number written telnet://host[:port] (port 23 when left out) and any\n"
            "host:23 are dialled as telnet hosts: binary mode is negotiated and 0xFF bytes are\n"
            "escaped, so files cross intact. Other host:port numbers are plain TCP (and another\n"
            "virtual modem is recognised by its handshake). An incoming call that opens with\n"
            "telnet negotiation is answered as a telnet client; --telnet takes every incoming\n"
            "call for one, for telnet programs that do not negotiate first.\n"
            "\n"
            "Exit status: 0 when interrupted, 1 when the terminal or the network cannot be\n"
            "set up, 2 for a bad command line.\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        }
        if (arg == "--version") {
            std::printf("sendari-vmodem %s\n", SENDARI_VERSION);
            std::exit(0);
        }
        if (arg == "--telnet") {
            options.config.telnet = true;
            continue;
        }
        if (arg != "--listen" && arg != "--rate" && arg != "--link") {
            std::fprintf(stderr, "sendari-vmodem: unknown option %s\n", arg.c_str());
            return false;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "sendari-vmodem: %s wants a value\n", arg.c_str());
            return false;
        }
        std::string value = argv[++i];
        if (arg == "--listen") {
            if (!platform::ParseListenAddress(value, options.config.listenAddress,
                                              options.config.listenPort)) {
                std::fprintf(stderr, "sendari-vmodem: --listen wants ADDR:PORT\n");
                return false;
            }
        } else if (arg == "--rate") {
            platform::VirtualModemConfig parsed;
            if (!platform::ParseVirtualModemMapValue("vmodem:rate=" + value, parsed)) {
                std::fprintf(stderr, "sendari-vmodem: --rate wants bits per second or unlimited\n");
                return false;
            }
            options.config.lineRate = parsed.lineRate;
        } else if (arg == "--link") {
            options.link = value;
        } else {
            return false;
        }
    }
    return true;
}

std::uint32_t BaudOf(speed_t speed) {
    struct Entry {
        speed_t code;
        std::uint32_t baud;
    };
    static constexpr Entry kTable[] = {
        {B300, 300},       {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const Entry& e : kTable)
        if (e.code == speed)
            return e.baud;
    return 0;
}

// File descriptor that closes itself.
class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd{fd} {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }

  private:
    int m_fd;
};

// Computer -> modem: what the serial program writes to the terminal. Also follows the speed
// the program sets on the terminal, which CONNECT reports when the line rate is unlimited.
void PumpToModem(int master, int slave, platform::VirtualModem& modem,
                 const std::atomic<bool>& stop) {
    speed_t lastSpeed = 0;
    unsigned char buffer[4096];
    while (!stop) {
        termios settings{};
        if (::tcgetattr(slave, &settings) == 0 && cfgetospeed(&settings) != lastSpeed) {
            lastSpeed = cfgetospeed(&settings);
            platform::SerialConfig config = modem.Configuration();
            if (std::uint32_t baud = BaudOf(lastSpeed); baud != 0) {
                config.baud = baud;
                modem.Configure(config);
            }
        }
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0)
            continue;
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        ssize_t done = 0;
        while (done < n && !stop) {
            int w = modem.Write(buffer + done, static_cast<int>(n - done));
            if (w < 0)
                return;
            done += w;
            if (done < n)
                modem.Wait(kPollMs, false, true);
        }
    }
}

// Modem -> computer: echo, results and received data.
void PumpToTerminal(int master, platform::VirtualModem& modem, const std::atomic<bool>& stop) {
    unsigned char buffer[4096];
    while (!stop) {
        if (modem.Wait(kPollMs, true, false) <= 0)
            continue;
        int n = modem.Read(buffer, sizeof buffer);
        int done = 0;
        while (done < n && !stop) {
            ssize_t w = ::write(master, buffer + done, static_cast<std::size_t>(n - done));
            if (w > 0) {
                done += static_cast<int>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                return;
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, kPollMs);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage(stderr);
        return 2;
    }

    // Signals are taken by sigwait below, never by the worker threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.Get() < 0 || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        std::perror("sendari-vmodem: pseudo-terminal");
        return 1;
    }
    const char* slaveName = ::ptsname(master.Get());
    std::string slavePath = slaveName != nullptr ? slaveName : "";
    // Holding the slave open keeps the master usable while no program has the terminal open;
    // raw mode is what serial programs expect of a modem port until they set their own.
    Fd slave(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave.Get() < 0) {
        std::perror("sendari-vmodem: pseudo-terminal");
        return 1;
    }
    termios raw{};
    ::tcgetattr(slave.Get(), &raw);
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B115200);
    ::tcsetattr(slave.Get(), TCSANOW, &raw);
    ::fcntl(master.Get(), F_SETFL, ::fcntl(master.Get(), F_GETFL) | O_NONBLOCK);

    int error = 0;
    auto modem = platform::VirtualModem::Open(options.config, error);
    if (!modem) {
        std::fprintf(stderr, "sendari-vmodem: cannot listen on %s:%u: %s\n",
                     options.config.listenAddress.c_str(), options.config.listenPort,
                     std::strerror(-error));
        return 1;
    }

    if (!options.link.empty()) {
        struct stat existing {};
        if (::lstat(options.link.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode))
            ::unlink(options.link.c_str()); // a link left behind by an earlier run
        if (::symlink(slavePath.c_str(), options.link.c_str()) != 0) {
            std::fprintf(stderr, "sendari-vmodem: cannot make the link %s: %s\n",
                         options.link.c_str(), std::strerror(errno));
            return 1;
        }
    }

    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "sendari-vmodem: answering calls on %s:%u, line rate %s\n",
                 options.config.listenAddress.c_str(), modem->ListenPort(),
                 options.config.lineRate == 0 ? "unlimited"
                                              : std::to_string(options.config.lineRate).c_str());
    const std::string warning = platform::ExposedListenWarning(options.config.listenAddress + ":" +
                                                               std::to_string(modem->ListenPort()));
    if (!warning.empty())
        std::fprintf(stderr, "sendari-vmodem: %s\n", warning.c_str());

    std::atomic<bool> stop{false};
    std::thread in([&] { PumpToModem(master.Get(), slave.Get(), *modem, stop); });
    std::thread out([&] { PumpToTerminal(master.Get(), *modem, stop); });
    int signal = 0;
    sigwait(&signals, &signal);
    stop = true;
    in.join();
    out.join();
    if (!options.link.empty())
        ::unlink(options.link.c_str());
    return 0;
}
