// Modem discovery over hand-written modem entries in a temporary HKEY_LOCAL_MACHINE hive: the
// line listing, automatic selection, port lookup, profile and response table.
#include "comm/ModemDiscovery.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/ResourceStrings.h"
#include "platform/Telephony.h"
#include "tests/support/TempDir.h"

using namespace comm;

namespace {

const std::string kClass = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";
const std::string kEnum = "[HKEY_LOCAL_MACHINE\\Enum\\";

// A legacy modem entry "Modem\<subkey>".
std::string LegacyModem(const std::string& subkey, const std::string& desc,
                        const std::string& attachedTo) {
    return kClass + "Modem\\" + subkey + "]\n\"DriverDesc\"=\"" + desc + "\"\n\"AttachedTo\"=\"" +
           attachedTo + "\"\n";
}

// A plug-and-play instance naming driver "Modem\<subkey>".
std::string PnpInstance(const std::string& path, const std::string& friendly,
                        const std::string& portName, const std::string& subkey) {
    return kEnum + path + "]\n\"Class\"=\"Modem\"\n\"PORTNAME\"=\"" + portName +
           "\"\n\"FriendlyName\"=\"" + friendly + "\"\n\"Driver\"=\"Modem\\\\" + subkey + "\"\n";
}

class ModemDiscoveryTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::ReloadRegistry(); }
    void TearDown() override {
        SetModemControlPanelHook({});
        platform::ReloadRegistry();
    }

    void Import(const std::string& body) {
        ASSERT_EQ(platform::RegImportText("REGEDIT4\n\n" + body), platform::ERROR_SUCCESS);
    }

    testsupport::TempDir m_dir;
};

TEST(CleanModemCommandTest, MakesCommandBodies) {
    struct Case {
        const char* raw;
        const char* clean;
    };
    const Case cases[] = {
        {"AT&F<CR>", "&F"},
        {"ats0=0<cr>", "S0=0"},
        {"<cr><lf>Connect 2400<cr><lf>", "CONNECT 2400"},
        {"ATATZ<CR>", "ATZ"}, // only the leading "AT" is the prefix
        {"X4 V1<LF><CR>", "X4 V1"},
        {"", ""},
        {"at", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CleanModemCommand(c.raw), c.clean) << c.raw;
}

TEST_F(ModemDiscoveryTest, ProfileJoinsCleanedInitValuesAndLeavesSpeakerNullWithoutSettings) {
    Import(LegacyModem("0000", "Fast Modem", "COM2") + kClass +
           "Modem\\0000\\Init]\n\"1\"=\"AT&F<CR>\"\n\"2\"=\"ATS0=0<CR>\"\n");
    ModemProfile profile;
    std::string extra;
    BuildModemProfile("Modem\\0000", "M1", profile, extra);
    EXPECT_STREQ(profile.initialization, "&FS0=0");
    EXPECT_STREQ(profile.name, "Fast Modem");
    EXPECT_EQ(extra, "M1");
    for (const std::string& command : profile.speakerCommands)
        EXPECT_TRUE(command.empty());
    EXPECT_EQ(profile.resultCodeCommands[0], "X0");
    EXPECT_EQ(profile.resultCodeCommands[9], "X9");
    EXPECT_STREQ(profile.hangUp, "~~~+++~~~ATH0");
    EXPECT_STREQ(profile.terminator, "\r");
}

TEST_F(ModemDiscoveryTest, ProfileKeepsDefaultsWhenTheDriverKeyDoesNotOpen) {
    ModemProfile profile;
    std::string extra = "left over";
    BuildModemProfile("Modem\\0042", "M1", profile, extra);
    EXPECT_STREQ(profile.name, "Default");
    EXPECT_STREQ(profile.initialization, "&F X4 V1 S0=0 W2 &D2");
    EXPECT_TRUE(extra.empty());
    EXPECT_TRUE(profile.speakerCommands[0].empty());
}

TEST_F(ModemDiscoveryTest, ProfileSpeakerCommandsFallBackPerValue) {
    Import(LegacyModem("0000", "M", "COM1") + kClass +
           "Modem\\0000\\Settings]\n\"SpeakerMode_Off\"=\"m0\"\n\"SpeakerVolume_Low\"=\"\"\n"
           "\"SpeakerVolume_Med\"=dword:00000002\n\"NotDefined\"=\"M1L3\"\n");
    ModemProfile profile;
    std::string extra;
    BuildModemProfile("Modem\\0000", "", profile, extra);
    // Taken as stored (no cleaning); empty, missing and non-text values take their defaults.
    EXPECT_EQ(profile.speakerCommands[0], "m0");
    EXPECT_EQ(profile.speakerCommands[1], "L1");
    EXPECT_EQ(profile.speakerCommands[2], "L2");
    EXPECT_EQ(profile.speakerCommands[3], "L3");
    EXPECT_EQ(profile.speakerCommands[4], "M1L3");
}

TEST_F(ModemDiscoveryTest, ProfileCutsOverlongRegistryTexts) {
    std::string longDesc(300, 'D');
    std::string longInit(150, 'X');
    Import(LegacyModem("0000", longDesc, "COM1") + kClass + "Modem\\0000\\Init]\n\"1\"=\"AT" +
           longInit + "\"\n\"2\"=dword:00000001\n\"3\"=\"AT" + longInit + "\"\n\"5\"=\"ATZ\"\n");
    ModemProfile profile;
    std::string extra;
    BuildModemProfile("Modem\\0000", "", profile, extra);
    EXPECT_EQ(std::string(profile.name), std::string(39, 'D'));
    // The non-text "2" is skipped, "4" is missing so "5" is never read, and the join is cut.
    EXPECT_EQ(std::string(profile.initialization), std::string(201, 'X'));
}

TEST_F(ModemDiscoveryTest, ResponsesTakeOnlyTenByteBinaryValues) {
    std::string big(300 * 3 - 1, '0');
    for (std::size_t i = 2; i < big.size(); i += 3)
        big[i] = ',';
    Import(LegacyModem("0000", "M", "COM1") + kClass + "Modem\\0000\\Responses]\n" +
           "\"<cr><lf>OK<cr><lf>\"=hex:00,00,00,00,00,00,00,00,00,00\n"
           "\"NINE\"=hex:02,00,00,00,00,00,00,00,00\n"
           "\"ELEVEN\"=hex:02,00,00,00,00,00,00,00,00,00,00\n"
           "\"HUGE\"=hex:" +
           big +
           "\n"
           "\"TEXT\"=\"0123456789\"\n"
           "\"<cr><lf>connect 28800/v42<cr><lf>\"=hex:02,01,80,70,00,00,00,c2,01,00\n");
    ResponseTable table;
    table.push_back(std::make_unique<ModemResponse>());
    ASSERT_TRUE(LoadModemResponses("Modem\\0000", table));
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0]->text, "OK");
    EXPECT_EQ(table[0]->code, kResponseOk);
    EXPECT_EQ(table[1]->text, "CONNECT 28800/V42");
    EXPECT_EQ(table[1]->code, kResponseConnect);
    EXPECT_EQ(table[1]->flags, 1);
    EXPECT_EQ(table[1]->dceRate, 28800);
    EXPECT_EQ(table[1]->dteRate, 115200);
}

TEST_F(ModemDiscoveryTest, ResponsesMissingLeaveTheTableAsItWas) {
    Import(LegacyModem("0000", "M", "COM1"));
    ResponseTable table;
    table.push_back(std::make_unique<ModemResponse>());
    table.back()->text = "KEPT";
    EXPECT_FALSE(LoadModemResponses("Modem\\0000", table));
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0]->text, "KEPT");
}

TEST_F(ModemDiscoveryTest, FindsLegacyModemsByExactNameOrRequestedPort) {
    Import(LegacyModem("0000", "Office Modem", "COM4") + LegacyModem("0001", "Other", "COM2"));
    std::string key;
    EXPECT_EQ(FindModemPort("Office Modem", key), 4);
    EXPECT_EQ(key, "Modem\\0000");
    EXPECT_EQ(FindModemPort("office modem", key), 0); // names compare with case
    EXPECT_TRUE(key.empty());
    // A name that is a port is matched by the port alone.
    EXPECT_EQ(FindModemPort("COM2", key), 2);
    EXPECT_EQ(key, "Modem\\0001");
    EXPECT_EQ(FindModemPort("com2: anything", key), 2);
    EXPECT_EQ(FindModemPort("COM2x", key), 0);
}

TEST_F(ModemDiscoveryTest, PortsAboveCom9AreNeverFound) {
    Import(LegacyModem("0000", "Far Modem", "COM12") +
           PnpInstance("PCI\\DEV\\0", "Far Modem", "COM12", "0000"));
    std::string key;
    EXPECT_EQ(FindModemPort("Far Modem", key), 0);
    EXPECT_EQ(FindModemPort("COM1", key), 0); // "COM12" is not COM1
    EXPECT_TRUE(key.empty());
}

TEST_F(ModemDiscoveryTest, PlugAndPlayPassComesBeforeTheLegacyPass) {
    Import(LegacyModem("0000", "Card Modem", "COM4") + LegacyModem("0001", "Card Modem", "COM5") +
           PnpInstance("PCMCIA\\CARD\\0001", "card MODEM", "COM3", "0001"));
    std::string key;
    EXPECT_EQ(FindModemPort("Card Modem", key), 3);
    EXPECT_EQ(key, "Modem\\0001");
}

TEST_F(ModemDiscoveryTest, PlugAndPlayInstanceWithoutItsDriverKeyFallsThrough) {
    Import(LegacyModem("0000", "Card Modem", "COM4") +
           PnpInstance("ISAPNP\\X\\1", "Card Modem", "COM3", "0007") +
           // An enumerator outside the searched ones is not looked at.
           PnpInstance("Root\\X\\1", "Card Modem", "COM6", "0000"));
    std::string key;
    EXPECT_EQ(FindModemPort("Card Modem", key), 4);
    EXPECT_EQ(key, "Modem\\0000");
}

TEST_F(ModemDiscoveryTest, ListingNamesModemsInOrderWithFriendlyNamesFirst) {
    std::string longName(300, 'L'); // more than the first capabilities buffer holds
    Import(LegacyModem("0000", "First", "COM1") + LegacyModem("0001", "Plain Desc", "COM2") +
           LegacyModem("0002", longName, "COM3") +
           PnpInstance("PCI\\M\\1", "Friendly Name", "COM2", "0001") + kClass +
           "Modem\\0003]\n\"AttachedTo\"=\"COM4\"\n");
    ModemListModel model;
    ASSERT_EQ(model.Names(), (std::vector<std::string>{"First", "Friendly Name", longName}));
    EXPECT_EQ(model.DeviceIds(), (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(model.SelectedIndex(), 0);
    model.SetPreselected("Friendly Name");
    EXPECT_EQ(model.SelectedIndex(), 1);
    model.SetPreselected("friendly name"); // the exact-string search
    EXPECT_EQ(model.SelectedIndex(), 0);
}

TEST_F(ModemDiscoveryTest, LineDevicesNegotiateAndReportTooSmallBuffers) {
    Import(LegacyModem("0000", "Only", "COM1"));
    platform::HLINEAPP app = 0;
    platform::DWORD count = 0;
    ASSERT_EQ(platform::lineInitialize(&app, nullptr, nullptr, "t", &count), 0);
    ASSERT_EQ(count, 1u);
    platform::DWORD version = 0;
    EXPECT_EQ(platform::lineNegotiateAPIVersion(app, 0, 0x00030000, 0x00030000, &version, nullptr),
              platform::LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(platform::lineNegotiateAPIVersion(app, 1, 0x00010004, 0x00010004, &version, nullptr),
              platform::LINEERR_BADDEVICEID);
    ASSERT_EQ(platform::lineNegotiateAPIVersion(app, 0, 0x00010004, 0x00010004, &version, nullptr),
              0);
    EXPECT_EQ(version, 0x00010004u);
    platform::LINEDEVCAPS caps{};
    caps.dwTotalSize = sizeof caps; // room for the fixed part only
    ASSERT_EQ(platform::lineGetDevCaps(app, 0, version, 0, &caps), 0);
    EXPECT_EQ(caps.dwNeededSize, sizeof caps + 5);
    EXPECT_EQ(caps.dwLineNameSize, 0u);
    EXPECT_EQ(platform::lineShutdown(app), 0);
    EXPECT_EQ(platform::lineShutdown(app), platform::LINEERR_INVALAPPHANDLE);
}

struct Shown {
    ModemSelectionHooks::Icon icon;
    int id;
    std::string text;
};

class AutoSelectTest : public ModemDiscoveryTest {
  protected:
    ModemSelectionHooks Hooks() {
        ModemSelectionHooks hooks;
        hooks.showMessage = [this](ModemSelectionHooks::Icon icon, int id, const std::string& t) {
            m_shown.push_back({icon, id, t});
        };
        hooks.selectModem = [this](const ModemListModel& modems) {
            m_dialogNames = modems.Names();
            return m_dialogAnswer;
        };
        return hooks;
    }
    std::optional<std::string> Stored() {
        return platform::ReadRegistryString(platform::HKEY_CURRENT_USER, kModemSelectionKey,
                                            kModemSelectionValue);
    }

    std::vector<Shown> m_shown;
    std::vector<std::string> m_dialogNames;
    std::optional<std::string> m_dialogAnswer;
};

TEST_F(AutoSelectTest, NoModemSaysSoAndStartsTheControlPanel) {
    int panels = 0;
    SetModemControlPanelHook([&] {
        ++panels;
        return true;
    });
    std::string field = "stale";
    EXPECT_FALSE(AutoSelectModem(field, Hooks()));
    EXPECT_TRUE(field.empty());
    EXPECT_EQ(panels, 1);
    ASSERT_EQ(m_shown.size(), 1u);
    EXPECT_EQ(m_shown[0].icon, ModemSelectionHooks::Icon::Stop);
    EXPECT_EQ(m_shown[0].id, 50207);
    EXPECT_EQ(m_shown[0].text, platform::LoadResourceString(50207));
    EXPECT_FALSE(Stored());
}

TEST_F(AutoSelectTest, AModemAddedWhileThePanelWaitsIsUsed) {
    SetModemControlPanelHook([&] {
        Import(LegacyModem("0000", "Added Modem", "COM1"));
        return true;
    });
    std::string field;
    EXPECT_TRUE(AutoSelectModem(field, Hooks()));
    EXPECT_EQ(field, "Added Modem");
    EXPECT_EQ(Stored(), "Added Modem");
    ASSERT_EQ(m_shown.size(), 2u);
    EXPECT_EQ(m_shown[0].id, 50207);
    EXPECT_EQ(m_shown[1].id, 50222);
}

TEST_F(AutoSelectTest, OneModemIsChosenWithoutTheDialog) {
    Import(LegacyModem("0000", "Lone Modem", "COM1"));
    std::string field;
    EXPECT_TRUE(AutoSelectModem(field, Hooks()));
    EXPECT_EQ(field, "Lone Modem");
    EXPECT_EQ(Stored(), "Lone Modem");
    EXPECT_TRUE(m_dialogNames.empty());
    ASSERT_EQ(m_shown.size(), 1u);
    EXPECT_EQ(m_shown[0].icon, ModemSelectionHooks::Icon::Information);
    EXPECT_EQ(m_shown[0].id, 50222);
    EXPECT_NE(m_shown[0].text.find("'Lone Modem'"), std::string::npos);
}

TEST_F(AutoSelectTest, SeveralModemsAskTheUser) {
    Import(LegacyModem("0000", "A", "COM1") + LegacyModem("0001", "B", "COM2"));
    std::string field;
    EXPECT_FALSE(AutoSelectModem(field, Hooks())); // cancelled
    EXPECT_EQ(m_dialogNames, (std::vector<std::string>{"A", "B"}));
    EXPECT_FALSE(Stored());

    m_dialogAnswer = "B";
    EXPECT_TRUE(AutoSelectModem(field, Hooks()));
    EXPECT_EQ(field, "B");
    EXPECT_EQ(Stored(), "B");
    EXPECT_TRUE(m_shown.empty());
}

TEST_F(AutoSelectTest, AnOverlongNameIsStoredAsTheFieldKeepsIt) {
    std::string name(200, 'N');
    Import(LegacyModem("0000", name, "COM1"));
    std::string field;
    EXPECT_TRUE(AutoSelectModem(field, Hooks()));
    EXPECT_EQ(field, std::string(kModemSelectionMaxBytes, 'N'));
    EXPECT_EQ(Stored(), field);
}

} // namespace

namespace {

// The control panel started for real, with a stand-in program found on the search path.
class ControlPanelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        m_savedPath = path ? path : "";
        setenv("PATH", (m_dir.Path() / "bin").c_str(), 1);
    }
    void TearDown() override { setenv("PATH", m_savedPath.c_str(), 1); }

    testsupport::TempDir m_dir;
    std::string m_savedPath;
};

TEST_F(ControlPanelTest, StartsTheModemsCommandOnItsAddPageWithoutWaiting) {
    std::string marker = m_dir / "started";
    std::string script = m_dir.WriteFile("bin/sendari-modems",
                                         "#!/bin/sh\n/bin/sleep 1\necho \"$1\" > " + marker +
                                             ".tmp\n/bin/mv " + marker + ".tmp " + marker + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    std::uint32_t start = platform::GetTickCount();
    ASSERT_TRUE(RunModemControlPanel());
    EXPECT_LT(platform::TicksSince(start), 900u); // the panel's second of work is not waited for
    while (!std::filesystem::exists(marker) && platform::TicksSince(start) < 10000)
        platform::Sleep(20);
    EXPECT_EQ(testsupport::TempDir::ReadFile(marker), "add\n");
}

TEST_F(ControlPanelTest, MissingOrBrokenPanelIsReported) {
    EXPECT_FALSE(RunModemControlPanel());
    std::string script = m_dir.WriteFile("bin/sendari-modems", "#!/no/such/interpreter\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    EXPECT_FALSE(RunModemControlPanel());
}

} // namespace
