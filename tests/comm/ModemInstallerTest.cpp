// Installing modems as sendari-modems does, and finding them again the way a job does: the
// port map, the modem entry, the listing, the profile and a call through the virtual modem.
#include "comm/ModemInstaller.h"
#include "platform/Win32Comm.h"

#include <atomic>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "comm/ModemDiscovery.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/VirtualModem.h"
#include "tests/support/TempDir.h"

using namespace comm;

namespace {

std::string PortMapValue(const std::string& port) {
    return platform::ReadRegistryString(platform::HKEY_LOCAL_MACHINE, kPortMapKey, port)
        .value_or("");
}

class ModemInstallerTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::ReloadRegistry(); }
    void TearDown() override { platform::ReloadRegistry(); }

    static std::string Definition(const std::string& type) {
        auto definition = FindModemDefinition(type);
        return definition ? definition->text : std::string();
    }

    testsupport::TempDir m_dir;
};

TEST_F(ModemInstallerTest, VirtualModemIsFoundWithItsPortAndProfile) {
    std::string value = VirtualModemMapValue("127.0.0.1:2329", "28800");
    ASSERT_EQ(value, "vmodem:listen=127.0.0.1:2329;rate=28800");
    InstallResult result = InstallModem(Definition("virtual"), "COM9", value);
    ASSERT_TRUE(result.ok) << result.message;
    ASSERT_EQ(result.names, (std::vector<std::string>{"Sendari virtual modem"}));
    EXPECT_EQ(PortMapValue("COM9"), value);

    std::string field;
    ModemSelectionHooks hooks;
    ASSERT_TRUE(AutoSelectModem(field, hooks));
    EXPECT_EQ(field, "Sendari virtual modem");

    std::string driverKey;
    ASSERT_EQ(FindModemPort(field, driverKey), 9);
    ModemProfile profile;
    std::string extra;
    BuildModemProfile(driverKey, "", profile, extra);
    EXPECT_STREQ(profile.name, "Sendari virtual modem");
    EXPECT_STREQ(profile.initialization, "&FE0 V1 X4 S0=0 &D2");
    EXPECT_EQ(profile.speakerCommands[1], "M1L1");
    ResponseTable table;
    ASSERT_TRUE(LoadModemResponses(driverKey, table));
    EXPECT_GT(table.size(), 10u);
}

TEST_F(ModemInstallerTest, SecondCopyGetsItsOwnNameAndNumber) {
    ASSERT_TRUE(InstallModem(Definition("hayes"), "COM1", "").ok);
    InstallResult second = InstallModem(Definition("hayes"), "com2", "/dev/ttyUSB0");
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(second.names[0], "Standard Hayes compatible #2");
    auto modems = ListInstalledModems();
    ASSERT_EQ(modems.size(), 2u);
    EXPECT_EQ(modems[0].driverKey, "Modem\\0000");
    EXPECT_EQ(modems[1].driverKey, "Modem\\0001");
    EXPECT_EQ(modems[1].port, "COM2");
    EXPECT_EQ(modems[1].portTarget, "/dev/ttyUSB0");
    std::string key;
    EXPECT_EQ(FindModemPort("Standard Hayes compatible #2", key), 2);
}

TEST_F(ModemInstallerTest, RefusesPortsItCannotServe) {
    ASSERT_TRUE(InstallModem(Definition("hayes"), "COM3", "").ok);
    for (const char* port : {"COM3", "COM12", "COM0", "LPT1", ""}) {
        InstallResult result = InstallModem(Definition("hayes"), port, "/dev/ttyUSB1");
        EXPECT_FALSE(result.ok) << port;
        EXPECT_FALSE(result.message.empty());
    }
    EXPECT_EQ(ListInstalledModems().size(), 1u);
    EXPECT_EQ(PortMapValue("COM3"), "");
    EXPECT_TRUE(VirtualModemMapValue("nowhere", "28800").empty());
    EXPECT_TRUE(VirtualModemMapValue("127.0.0.1:2323", "fast").empty());
}

TEST_F(ModemInstallerTest, RemovingAVirtualModemTakesItsPortMapValue) {
    ASSERT_TRUE(
        InstallModem(Definition("virtual"), "COM8", VirtualModemMapValue("127.0.0.1:2328", "9600"))
            .ok);
    ASSERT_TRUE(InstallModem(Definition("hayes"), "COM3", "/dev/ttyACM0").ok);
    EXPECT_FALSE(RemoveModem("No Such Modem").ok);
    ASSERT_TRUE(RemoveModem("sendari virtual modem").ok);
    EXPECT_EQ(PortMapValue("COM8"), "");
    ASSERT_TRUE(RemoveModem("COM3").ok);
    EXPECT_EQ(PortMapValue("COM3"), "/dev/ttyACM0"); // the device is still on that port
    EXPECT_TRUE(ListInstalledModems().empty());
}

TEST_F(ModemInstallerTest, ImportAddsToTheInstalledModemsInsteadOfOverwriting) {
    ASSERT_TRUE(InstallModem(Definition("hayes"), "COM1", "").ok);
    const std::string file =
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000]\r\n"
        "\"DriverDesc\"=\"Brand X 33.6\"\r\n\"AttachedTo\"=\"COM5\"\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000\\Init]\r\n"
        "\"1\"=\"ATZ<cr>\"\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0001]\r\n"
        "\"DriverDesc\"=\"Brand Y\"\r\n";
    InstallResult result = ImportModems(file, "");
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.names, (std::vector<std::string>{"Brand X 33.6", "Brand Y"}));
    // The entry without a port is installed but the user is told it cannot be used yet.
    EXPECT_NE(result.message.find("Brand Y"), std::string::npos);
    std::string key;
    EXPECT_EQ(FindModemPort("Standard Hayes compatible", key), 1);
    EXPECT_EQ(key, "Modem\\0000");
    EXPECT_EQ(FindModemPort("Brand X 33.6", key), 5);
    EXPECT_EQ(key, "Modem\\0001");
    ModemProfile profile;
    std::string extra;
    BuildModemProfile(key, "", profile, extra);
    EXPECT_STREQ(profile.initialization, "Z");

    EXPECT_FALSE(ImportModems(file, "COM1").ok); // COM1 is taken
}

TEST_F(ModemInstallerTest, AnImportThatWouldDeleteOrTouchOtherKeysInstallsNothing) {
    ASSERT_TRUE(InstallModem(Definition("hayes"), "COM1", "").ok);
    platform::WriteRegistryString(platform::HKEY_CURRENT_USER, "Software\\Korvane\\Sendari\\1.0",
                                  "StationName", "Quay");
    const std::string modem = "REGEDIT4\n\n[HKEY_LOCAL_"
                              "MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000]\n"
                              "\"DriverDesc\"=\"Brand X\"\n\"AttachedTo\"=\"COM5\"\n";
    for (const std::string& extra :
         {std::string("[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem]\n"),
          std::string(
              "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000]\n"),
          std::string(
              "[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n\"StationName\"=\"Evil\"\n"),
          std::string("\"AttachedTo\"=-\n")}) {
        InstallResult result = ImportModems(modem + extra, "");
        EXPECT_FALSE(result.ok) << extra;
        EXPECT_NE(result.message.find("Nothing was imported"), std::string::npos) << extra;
    }
    platform::ReloadRegistry();
    ASSERT_EQ(ListInstalledModems().size(), 1u) << "nothing removed, nothing added";
    EXPECT_EQ(ListInstalledModems()[0].name, "Standard Hayes compatible");
    EXPECT_EQ(platform::ReadRegistryString(platform::HKEY_CURRENT_USER,
                                           "Software\\Korvane\\Sendari\\1.0", "StationName"),
              "Quay");
    EXPECT_TRUE(ImportModems(modem, "").ok) << "the modem alone is welcome";
}

// What the check reads must be what the reader reads: a byte-order mark, a continued line, a
// key nested past any use or a value past any size must not slip a change by it.
TEST_F(ModemInstallerTest, HostileDefinitionsInstallNothingAndSayWhy) {
    platform::WriteRegistryString(platform::HKEY_CURRENT_USER, "Software\\Korvane\\Sendari\\1.0",
                                  "GeneralReceiveFolder", "/home/me/in");
    const std::string key = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\"
                            "Modem\\0000";
    const std::string modem = key + "]\n\"DriverDesc\"=\"Brand X\"\n\"AttachedTo\"=\"COM5\"\n";
    std::string blob = "\"Blob\"=hex:00";
    for (int i = 0; i < (1 << 20); ++i)
        blob += ",00";
    std::string deep = key;
    for (int i = 0; i < 100000; ++i)
        deep += "\\a";
    const struct {
        std::string text;
        const char* why;
    } cases[] = {
        {"\xEF\xBB\xBF[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n"
         "\"GeneralReceiveFolder\"=\"/tmp/elsewhere\"\n" +
             modem,
         "this line does not: [HKEY_CURRENT_USER"},
        {"\xEF\xBB\xBF[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm]\n"
         "\"COM9\"=\"vmodem:listen=0.0.0.0:2323;rate=9600\"\n" +
             modem,
         "this line does not: [HKEY_LOCAL_MACHINE\\Hardware"},
        {modem + "\"AttachedTo\"=\\\n  -\n", "deletes \"AttachedTo\""},
        {"REGEDIT4\n" + deep + "]\n\"DriverDesc\"=\"Deep\"\n", "nested deeper than 512 levels"},
        {modem + blob + "\n", "larger than 1 MiB"},
        {modem + std::string(17 << 20, ';'), "larger than 16 MiB"},
    };
    for (const auto& c : cases) {
        const InstallResult result = ImportModems(c.text, "");
        EXPECT_FALSE(result.ok) << c.why;
        EXPECT_NE(result.message.find(c.why), std::string::npos) << result.message;
    }
    platform::ReloadRegistry();
    EXPECT_TRUE(ListInstalledModems().empty());
    EXPECT_EQ(PortMapValue("COM9"), "");
    EXPECT_EQ(platform::ReadRegistryString(platform::HKEY_CURRENT_USER,
                                           "Software\\Korvane\\Sendari\\1.0",
                                           "GeneralReceiveFolder"),
              "/home/me/in");
}

// What the registry editor of the original system exports: UTF-16LE behind a byte-order mark,
// CR LF line ends, the version 5 header.
TEST_F(ModemInstallerTest, AUtf16ExportImportsLikeAnyOther) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\"
        "CurrentControlSet\\Services\\Class\\Modem\\0007]\r\n\"DriverDesc\"=\"Zo\xC3\xB6m "
        "\xF0\x9F\x93\x9E\"\r\n\"AttachedTo\"=\"COM4\"\r\n\"Rate\"=dword:000004b0\r\n";
    std::string utf16 = "\xFF\xFE";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = c;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra)
            code = c & (0x3F >> extra);
        for (; extra > 0; --extra)
            code = (code << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F);
        auto unit = [&](std::uint32_t u) {
            utf16.push_back(static_cast<char>(u & 0xFF));
            utf16.push_back(static_cast<char>(u >> 8));
        };
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    const std::string file = m_dir.WriteFile("export.reg", utf16);
    const InstallResult result = ImportModemFile(file, "");
    ASSERT_TRUE(result.ok) << result.message;
    ASSERT_EQ(ListInstalledModems().size(), 1u);
    EXPECT_EQ(ListInstalledModems()[0].name, "Zo\xC3\xB6m \xF0\x9F\x93\x9E");
    EXPECT_EQ(ListInstalledModems()[0].port, "COM4");
    EXPECT_FALSE(ImportModemFile(m_dir.Path().string() + "/missing.reg", "").ok);
}

TEST_F(ModemInstallerTest, AnImportWithoutAModemDefinitionIsNoSuccess) {
    for (const std::string& text :
         {std::string(), std::string("REGEDIT4\n"), std::string("REGEDIT4\n\n; only a comment\n"),
          std::string("not a registry file at all\n")}) {
        InstallResult result = ImportModems(text, "");
        EXPECT_FALSE(result.ok) << text;
        EXPECT_NE(result.message.find("Nothing was imported"), std::string::npos) << text;
    }
    EXPECT_TRUE(ListInstalledModems().empty());
}

TEST_F(ModemInstallerTest, UserDefinitionsJoinAndReplaceTheBuiltInOnes) {
    m_dir.WriteFile("config/Sendari/modems/hayes.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\"
                                                       "CurrentControlSet\\Services\\Class\\Modem\\"
                                                       "0000]\n\"DriverDesc\"=\"My Hayes\"\n");
    m_dir.WriteFile("config/Sendari/modems/zoom.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\"
                                                      "CurrentControlSet\\Services\\Class\\Modem\\"
                                                      "0000]\n\"DriverDesc\"=\"Zoomy\"\n");
    auto hayes = FindModemDefinition("HAYES");
    ASSERT_TRUE(hayes);
    EXPECT_EQ(hayes->description, "My Hayes");
    auto zoom = FindModemDefinition("zoom");
    ASSERT_TRUE(zoom);
    EXPECT_EQ(zoom->description, "Zoomy");
    EXPECT_EQ(FindModemDefinition("virtual")->description, "Sendari virtual modem");
}

// A plain TCP service that accepts one call and keeps it open.
class TcpAnswerer {
  public:
    TcpAnswerer() {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_fd, 1);
        socklen_t length = sizeof address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~TcpAnswerer() { close(m_fd); }
    int Port() const { return m_port; }

  private:
    int m_fd{-1};
    int m_port{0};
};

// Answer lines of one device, with whatever followed the last line kept for the next call.
class LineReader {
  public:
    explicit LineReader(platform::SerialDevice& device) : m_device(device) {}

    // The next non-empty line, or empty when none is complete within `timeoutMs`.
    std::string Next(int timeoutMs) {
        std::uint32_t start = platform::GetTickCount();
        for (;;) {
            std::size_t begin = m_held.find_first_not_of("\r\n");
            std::size_t end =
                begin == std::string::npos ? begin : m_held.find_first_of("\r\n", begin);
            if (end != std::string::npos) {
                std::string line = m_held.substr(begin, end - begin);
                m_held.erase(0, end);
                return line;
            }
            if (platform::TicksSince(start) >= static_cast<std::uint32_t>(timeoutMs))
                return {};
            m_device.Wait(50, true, false);
            ReadWaiting();
        }
    }

    // Whether the line `text` comes within `timeoutMs`; lines before it (such as the echo of
    // a command sent before echo was turned off) are passed over.
    bool WaitForLine(const std::string& text, int timeoutMs) {
        std::uint32_t start = platform::GetTickCount();
        while (platform::TicksSince(start) < static_cast<std::uint32_t>(timeoutMs)) {
            if (Next(timeoutMs - static_cast<int>(platform::TicksSince(start))) == text)
                return true;
        }
        return false;
    }

    // Everything received until `text` shows up (or the time is up).
    std::string Until(const std::string& text, int timeoutMs) {
        std::uint32_t start = platform::GetTickCount();
        while (m_held.find(text) == std::string::npos &&
               platform::TicksSince(start) < static_cast<std::uint32_t>(timeoutMs)) {
            m_device.Wait(50, true, false);
            ReadWaiting();
        }
        return m_held;
    }

  private:
    void ReadWaiting() {
        unsigned char buffer[256];
        int n;
        while ((n = m_device.Read(buffer, sizeof buffer)) > 0)
            m_held.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
    }

    platform::SerialDevice& m_device;
    std::string m_held;
};

void Send(platform::SerialDevice& device, const std::string& text) {
    device.Write(reinterpret_cast<const unsigned char*>(text.data()),
                 static_cast<int>(text.size()));
}

std::string InitCommand(const ModemProfile& profile) {
    return std::string(profile.prefix) + profile.initialization + profile.terminator;
}

TEST_F(ModemInstallerTest, InstalledVirtualModemTakesItsProfileAndCallsOut) {
    ASSERT_TRUE(
        InstallModem(Definition("virtual"), "COM7", VirtualModemMapValue("127.0.0.1:0", "28800"))
            .ok);
    std::string driverKey;
    ASSERT_EQ(FindModemPort("Sendari virtual modem", driverKey), 7);
    ModemProfile profile;
    std::string extra;
    BuildModemProfile(driverKey, "", profile, extra);
    ResponseTable table;
    ASSERT_TRUE(LoadModemResponses(driverKey, table));

    int error = 0;
    auto device = platform::OpenVirtualModemDevice(PortMapValue("COM7"), error);
    ASSERT_TRUE(device) << error;
    LineReader lines(*device);
    Send(*device, InitCommand(profile));
    EXPECT_TRUE(lines.WaitForLine("OK", 3000));

    TcpAnswerer answerer;
    Send(*device, std::string(profile.prefix) + profile.toneDial +
                      "127.0.0.1:" + std::to_string(answerer.Port()) + profile.terminator);
    std::string line = lines.Next(10000);
    const ModemResponse* known = nullptr;
    for (const auto& entry : table) {
        if (entry->text == line)
            known = entry.get();
    }
    ASSERT_TRUE(known) << "unknown line: " << line;
    EXPECT_EQ(known->code, kResponseConnect);
    EXPECT_EQ(known->ConnectionSpeed(), 28800);
}

// A loopback TCP port that nothing listens on just now.
int FreePort() {
    TcpAnswerer probe;
    return probe.Port();
}

// Two virtual modems installed the way the demonstration sets them up call each other: one
// dials the other's listening address, the other rings, answers, and bytes cross.
TEST_F(ModemInstallerTest, TwoInstalledVirtualModemsCallEachOther) {
    const std::string callerAddress = "127.0.0.1:" + std::to_string(FreePort());
    const std::string answerAddress = "127.0.0.1:" + std::to_string(FreePort());
    ASSERT_TRUE(
        InstallModem(Definition("virtual"), "COM8", VirtualModemMapValue(callerAddress, "57600"))
            .ok);
    ASSERT_TRUE(
        InstallModem(Definition("virtual"), "COM9", VirtualModemMapValue(answerAddress, "57600"))
            .ok);

    std::string callerKey, answererKey;
    ASSERT_EQ(FindModemPort("Sendari virtual modem", callerKey), 8);
    ASSERT_EQ(FindModemPort("Sendari virtual modem #2", answererKey), 9);
    ModemProfile callerProfile, answererProfile;
    std::string extra;
    BuildModemProfile(callerKey, "", callerProfile, extra);
    BuildModemProfile(answererKey, "", answererProfile, extra);
    int error = 0;
    auto caller = platform::OpenVirtualModemDevice(PortMapValue("COM8"), error);
    auto answerer = platform::OpenVirtualModemDevice(PortMapValue("COM9"), error);
    ASSERT_TRUE(caller && answerer) << error;
    LineReader callerLines(*caller);
    LineReader answererLines(*answerer);
    Send(*caller, InitCommand(callerProfile));
    Send(*answerer, InitCommand(answererProfile));
    ASSERT_TRUE(callerLines.WaitForLine("OK", 3000));
    ASSERT_TRUE(answererLines.WaitForLine("OK", 3000));

    Send(*caller, std::string(callerProfile.prefix) + callerProfile.toneDial + answerAddress +
                      callerProfile.terminator);
    ASSERT_EQ(answererLines.Next(10000), "RING");
    Send(*answerer,
         std::string(answererProfile.prefix) + answererProfile.answer + answererProfile.terminator);
    EXPECT_EQ(answererLines.Next(10000), "CONNECT 57600");
    EXPECT_EQ(callerLines.Next(10000), "CONNECT 57600");
    Send(*caller, "hello over the line");
    EXPECT_NE(answererLines.Until("hello over the line", 5000).find("hello over the line"),
              std::string::npos);
}

} // namespace

// The two ways a port is named: the device name the serial calls take ("\\.\COM12", up to
// three digits) and the COM1 to COM9 a modem is installed on.
TEST(PortNames, DeviceNamesAndInstallablePorts) {
    EXPECT_EQ(platform::ComPortNumber("COM1"), 1);
    EXPECT_EQ(platform::ComPortNumber("\\\\.\\com12"), 12);
    EXPECT_EQ(platform::ComPortNumber("COM999"), 999);
    for (const char* bad : {"", "COM", "COM1234", "COMx", "LPT1", "\\\\.\\COM", "COM-1"})
        EXPECT_EQ(platform::ComPortNumber(bad), 0) << bad;
    EXPECT_EQ(comm::ParseComPort("com3"), 3);
    EXPECT_EQ(comm::ParseComPort("COM9"), 9);
    for (const char* bad : {"COM0", "COM10", "\\\\.\\COM1", "COM 1", "COM"})
        EXPECT_EQ(comm::ParseComPort(bad), 0) << bad;
}
