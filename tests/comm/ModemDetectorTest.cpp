// Modem detection and the sendari-modems command over pseudo-terminals: a pretend modem on the
// master side answers "AT" and "ATI" the way a real one does.
#include "comm/ModemDetector.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "comm/ModemInstaller.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"

using namespace comm;

namespace {

// A pseudo-terminal whose master side plays a modem (or stays silent).
class PtyModem {
  public:
    explicit PtyModem(bool answers) : m_answers(answers) {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(m_master);
        unlockpt(m_master);
        m_name = ptsname(m_master);
        // The slave must stay open on this side too, or the master reads end when the
        // detector closes it between two speeds.
        m_slave = open(m_name.c_str(), O_RDWR | O_NOCTTY);
        m_thread = std::thread([this] { Run(); });
    }
    ~PtyModem() {
        m_stop = true;
        m_thread.join();
        close(m_slave);
        close(m_master);
    }
    const std::string& Name() const { return m_name; }
    int Commands() const { return m_commands; }

  private:
    void Run() {
        std::string line;
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char c;
            if (read(m_master, &c, 1) != 1)
                continue;
            if (c != '\r') {
                line += c;
                continue;
            }
            ++m_commands;
            std::string reply = line + "\r"; // echo on, as after a reset
            if (m_answers && line == "AT")
                reply += "\r\nOK\r\n";
            else if (m_answers && line == "ATI")
                reply += "\r\nPretend Modem 56K\r\nRev 1.2\r\n\r\nOK\r\n";
            if (m_answers)
                (void)!write(m_master, reply.data(), reply.size());
            line.clear();
        }
    }

    bool m_answers;
    int m_master{-1};
    int m_slave{-1};
    std::string m_name;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_commands{0};
    std::thread m_thread;
};

TEST(ModemDetectorTest, AnsweringModemGivesItsRateAndIdentification) {
    PtyModem modem(true);
    auto found = ProbeModem(modem.Name(), DetectionRates(), 1000);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->device, modem.Name());
    EXPECT_EQ(found->rate, DetectionRates().front());
    EXPECT_EQ(found->identification, "Pretend Modem 56K / Rev 1.2");
}

TEST(ModemDetectorTest, SilentDeviceIsAskedAtEveryRateThenGivenUp) {
    PtyModem modem(false);
    EXPECT_FALSE(ProbeModem(modem.Name(), DetectionRates(), 150));
    EXPECT_EQ(modem.Commands(), static_cast<int>(DetectionRates().size()));
}

TEST(ModemDetectorTest, SomethingThatIsNoTerminalIsNotWrittenTo) {
    testsupport::TempDir dir;
    std::string file = dir.WriteFile("plain", "");
    EXPECT_FALSE(ProbeModem(file, DetectionRates(), 100));
    EXPECT_EQ(testsupport::TempDir::ReadFile(file), "");
    EXPECT_FALSE(ProbeModem(dir / "missing", DetectionRates(), 100));
}

TEST(ModemDetectorTest, DeviceListCanBeNamed) {
    setenv(kDetectDevicesVariable, "/dev/pts/90::/dev/pts/91", 1);
    EXPECT_EQ(SerialDeviceCandidates(), (std::vector<std::string>{"/dev/pts/90", "/dev/pts/91"}));
    unsetenv(kDetectDevicesVariable);
}

// Runs sendari-modems with `args`; returns its exit status and fills `output`.
int RunTool(const std::string& args, std::string& output) {
    std::string command = std::string(SENDARI_MODEMS_TOOL) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[512];
    output.clear();
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ModemsToolTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::ReloadRegistry(); }
    void TearDown() override {
        unsetenv(kDetectDevicesVariable);
        platform::ReloadRegistry();
    }
    testsupport::TempDir m_dir;
};

TEST_F(ModemsToolTest, DetectWithoutSerialPortsSaysSoAndSucceeds) {
    setenv(kDetectDevicesVariable, "", 1);
    std::string output;
    EXPECT_EQ(RunTool("detect", output), 0);
    EXPECT_NE(output.find("No serial ports were found"), std::string::npos) << output;
}

TEST_F(ModemsToolTest, DetectOffersAndAddsWhatAnswered) {
    PtyModem modem(true);
    setenv(kDetectDevicesVariable, modem.Name().c_str(), 1);
    std::string output;
    ASSERT_EQ(RunTool("detect", output), 0);
    EXPECT_NE(output.find("Pretend Modem 56K"), std::string::npos) << output;
    EXPECT_NE(output.find("sendari-modems add --port COM1 --device " + modem.Name()),
              std::string::npos)
        << output;

    ASSERT_EQ(RunTool("detect --add", output), 0) << output;
    platform::ReloadRegistry();
    auto modems = ListInstalledModems();
    ASSERT_EQ(modems.size(), 1u);
    EXPECT_EQ(modems[0].port, "COM1");
    EXPECT_EQ(modems[0].portTarget, modem.Name());
}

TEST_F(ModemsToolTest, AddVirtualWritesThePortMapAndListShowsIt) {
    std::string output;
    ASSERT_EQ(RunTool("add-virtual --port COM9 --listen 127.0.0.1:2399 --rate 9600", output), 0)
        << output;
    EXPECT_EQ(RunTool("add-virtual --port COM9", output), 1); // taken
    EXPECT_EQ(RunTool("add-virtual --port COM8 --rate fast", output), 2);
    ASSERT_EQ(RunTool("list", output), 0);
    EXPECT_EQ(output, "Sendari virtual modem\tCOM9\tvmodem:listen=127.0.0.1:2399;rate=9600\n");
    platform::ReloadRegistry();
    EXPECT_EQ(platform::ReadRegistryString(platform::HKEY_LOCAL_MACHINE, kPortMapKey, "COM9"),
              "vmodem:listen=127.0.0.1:2399;rate=9600");
    ASSERT_EQ(RunTool("remove \"Sendari virtual modem\"", output), 0) << output;
    ASSERT_EQ(RunTool("list", output), 0);
    EXPECT_NE(output.find("No modems are installed"), std::string::npos);
}

} // namespace
