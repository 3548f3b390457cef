// Serial device probing with plain terminal calls, so detection needs nothing of the port layer.
#include "comm/ModemDetector.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "platform/Clock.h"

namespace comm {
namespace {

constexpr int kPollSliceMs = 100;
constexpr std::uint32_t kFlushPauseMs = 100;

struct RateSpeed {
    std::uint32_t rate;
    speed_t speed;
};
constexpr RateSpeed kSpeeds[] = {{115200, B115200}, {57600, B57600}, {38400, B38400},
                                 {19200, B19200},   {9600, B9600},   {2400, B2400}};

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The devices the kernel writes its console to: probing them would type into the console.
std::set<std::string> ConsoleDevices() {
    std::set<std::string> names;
    std::istringstream active(ReadFirstLine("/sys/class/tty/console/active"));
    for (std::string name; active >> name;)
        names.insert(name);
    return names;
}

// A /dev/ttyS node exists for every possible UART; only those with a known type have one.
bool HasUart(const std::string& name) {
    std::string type = ReadFirstLine("/sys/class/tty/" + name + "/type");
    return !type.empty() && type != "0";
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            if (m_saved)
                tcsetattr(m_fd, TCSANOW, &m_original);
            close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return m_fd; }
    void SaveSettings() { m_saved = tcgetattr(m_fd, &m_original) == 0; }

  private:
    int m_fd;
    bool m_saved{false};
    termios m_original{};
};

bool SetRate(int fd, speed_t speed) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    const std::uint32_t start = platform::GetTickCount();
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (platform::TicksSince(start) > 1000)
            return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, kPollSliceMs);
    }
    return true;
}

// Reads answer lines until one is "OK" or "ERROR" (or their digits) or the time is up.
// Returns the final word, or empty on time-out; `lines` gets the lines before it.
std::string ReadAnswer(int fd, int timeoutMs, std::vector<std::string>& lines) {
    const std::uint32_t start = platform::GetTickCount();
    std::string partial;
    char buffer[256];
    while (true) {
        std::uint32_t elapsed = platform::TicksSince(start);
        if (elapsed >= static_cast<std::uint32_t>(timeoutMs))
            return {};
        pollfd p{fd, POLLIN, 0};
        int wait = std::min<int>(kPollSliceMs, timeoutMs - static_cast<int>(elapsed));
        if (poll(&p, 1, wait) <= 0)
            continue;
        if (p.revents & (POLLERR | POLLNVAL))
            return {};
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                platform::Sleep(kPollSliceMs); // a hung-up pseudo-terminal reads empty
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c != '\r' && c != '\n') {
                // A device that sends an endless line is no modem worth waiting for.
                if (partial.size() < 256)
                    partial += c;
                continue;
            }
            if (partial.empty())
                continue;
            if (partial == "OK" || partial == "0" || partial == "ERROR" || partial == "4")
                return partial;
            lines.push_back(partial);
            partial.clear();
        }
    }
}

} // namespace

const std::vector<std::uint32_t>& DetectionRates() {
    static const std::vector<std::uint32_t> rates = {115200, 57600, 19200, 9600};
    return rates;
}

std::vector<std::string> SerialDeviceCandidates() {
    std::vector<std::string> devices;
    if (const char* list = std::getenv(kDetectDevicesVariable)) {
        std::istringstream in(list);
        for (std::string device; std::getline(in, device, ':');) {
            if (!device.empty())
                devices.push_back(device);
        }
        return devices;
    }
    std::set<std::string> consoles = ConsoleDevices();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        std::string name = entry.path().filename().string();
        bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
        bool uart = name.rfind("ttyS", 0) == 0 && HasUart(name);
        if ((usb || uart) && !consoles.count(name))
            devices.push_back(entry.path().string());
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

std::optional<DetectedModem> ProbeModem(const std::string& device,
                                        const std::vector<std::uint32_t>& rates,
                                        int answerTimeoutMs) {
    Descriptor fd(open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0 || !isatty(fd.Get()))
        return std::nullopt;
    // Another program (perhaps Sendari itself in a job) may be using the modem.
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        return std::nullopt;
    fd.SaveSettings();

    for (std::uint32_t rate : rates) {
        auto speed = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                  [&](const RateSpeed& s) { return s.rate == rate; });
        if (speed == std::end(kSpeeds) || !SetRate(fd.Get(), speed->speed))
            continue;
        platform::Sleep(kFlushPauseMs);
        tcflush(fd.Get(), TCIOFLUSH);
        std::vector<std::string> lines;
        if (!WriteAll(fd.Get(), "AT\r"))
            return std::nullopt;
        std::string final = ReadAnswer(fd.Get(), answerTimeoutMs, lines);
        if (final != "OK" && final != "0")
            continue;

        DetectedModem found{device, rate, {}};
        lines.clear();
        if (WriteAll(fd.Get(), "ATI\r")) {
            final = ReadAnswer(fd.Get(), answerTimeoutMs, lines);
            if (final == "OK" || final == "0") {
                for (const std::string& line : lines) {
                    if (line == "ATI" || line == "AT")
                        continue; // the modem's echo of our own command
                    if (!found.identification.empty())
                        found.identification += " / ";
                    found.identification += line;
                }
            }
        }
        return found;
    }
    return std::nullopt;
}

} // namespace comm
