// Settings load and save against real hive files in a temporary configuration folder.
#include "data/AppSettings.h"

#include "data/RegistryKey.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <vector>

using namespace data;
using namespace platform;

namespace {

class AppSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { ReloadRegistry(); }

    // The names of the values under the settings key, in stored order.
    static std::vector<std::string> StoredNames() {
        std::vector<std::string> names;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return names;
        char name[64];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            names.push_back(name);
        }
        RegCloseKey(key);
        return names;
    }
    static std::optional<std::string> StoredText(const char* name) {
        return ReadRegistryString(HKEY_CURRENT_USER, kSettingsKey, name);
    }
    static std::optional<DWORD> StoredNumber(const char* name) {
        return ReadRegistryNumber(HKEY_CURRENT_USER, kSettingsKey, name);
    }

    testsupport::TempDir m_dir;
};

TEST_F(AppSettingsTest, FirstLoadWritesEveryDefaultButTheModem) {
    AppSettings s;
    LoadSettings(s);
    EXPECT_EQ(CutToBytes(RegisteredOwner(), 63), s.stationName);
    EXPECT_EQ("", s.stationPhoneNumber);
    EXPECT_EQ(3u, s.numberOfAttempts);
    EXPECT_EQ(1u, s.delayBetweenRedials);
    EXPECT_EQ(DataDirectory() + "/Received Files", s.generalReceiveFolder);
    EXPECT_EQ(1u, s.answerAfterRings);
    EXPECT_EQ(kMacBinaryConvertDelete, s.macBinary);
    EXPECT_EQ("", s.modemSelection);
    EXPECT_EQ(1u, s.telephoneCheck);
    EXPECT_EQ(kModemStandard, s.modemType);
    EXPECT_EQ(5u, s.maximumSpeed);
    EXPECT_EQ(57600u, PortSpeedOf(s));
    EXPECT_EQ(1u, s.speakerVolume);
    EXPECT_EQ(kFlowHardware, s.flowControl);
    EXPECT_EQ("", s.extraSettings);
    // Thirteen values, in the table's order; the modem is left to the automatic selection.
    EXPECT_EQ((std::vector<std::string>{
                  "StationName", "StationPhoneNumber", "NumberOfAttempts", "DelayBetweenRedials",
                  "GeneralReceiveFolder", "AnswerAfterRings", "MacBinary", "TelephoneCheck",
                  "ModemType", "MaximumSpeed", "SpeakerVolume", "FlowControl", "ExtraSettings"}),
              StoredNames());
    EXPECT_EQ(std::optional<std::string>(s.generalReceiveFolder),
              StoredText("GeneralReceiveFolder"));
}

TEST_F(AppSettingsTest, StationNameDefaultsOnlyWhenMissing) {
    WriteRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                        "RegisteredOwner", "Machine Owner");
    AppSettings s;
    LoadSettings(s);
    EXPECT_EQ("Machine Owner", s.stationName);
    WriteRegistryString(HKEY_CURRENT_USER, kSettingsKey, "StationName", "");
    LoadSettings(s);
    EXPECT_EQ("", s.stationName);
    EXPECT_EQ(std::optional<std::string>(""), StoredText("StationName"));
}

TEST_F(AppSettingsTest, MissingOrMistypedNumbersAreWrittenBack) {
    AppSettings s;
    LoadSettings(s);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_ALL_ACCESS, &key));
    RegDeleteValueA(key, "NumberOfAttempts");
    RegCloseKey(key);
    WriteRegistryString(HKEY_CURRENT_USER, kSettingsKey, "AnswerAfterRings", "4");
    s = {};
    LoadSettings(s);
    EXPECT_EQ(3u, s.numberOfAttempts);
    EXPECT_EQ(std::optional<DWORD>(3), StoredNumber("NumberOfAttempts"));
    EXPECT_EQ(1u, s.answerAfterRings);
    EXPECT_EQ(std::optional<DWORD>(1), StoredNumber("AnswerAfterRings"));
}

TEST_F(AppSettingsTest, StoredValuesOutsideTheirListFallBackWithoutRewriting) {
    WriteRegistryNumber(HKEY_CURRENT_USER, kSettingsKey, "MaximumSpeed", 7);
    WriteRegistryNumber(HKEY_CURRENT_USER, kSettingsKey, "MacBinary", 9);
    WriteRegistryNumber(HKEY_CURRENT_USER, kSettingsKey, "TelephoneCheck", 0);
    AppSettings s;
    LoadSettings(s);
    EXPECT_EQ(5u, s.maximumSpeed);
    EXPECT_EQ(kMacBinaryConvertDelete, s.macBinary);
    EXPECT_EQ(0u, s.telephoneCheck);
    EXPECT_EQ(std::optional<DWORD>(7), StoredNumber("MaximumSpeed"));
    s.maximumSpeed = 42;
    EXPECT_EQ(57600u, PortSpeedOf(s));
}

TEST_F(AppSettingsTest, OverlongTextIsCutAtACharacterBoundary) {
    std::string name(62, 'a');
    name += "\xC3\xA9\xC3\xA9"; // two two-byte characters straddling the 63-byte limit
    WriteRegistryString(HKEY_CURRENT_USER, kSettingsKey, "StationName", name);
    AppSettings s;
    LoadSettings(s);
    EXPECT_EQ(std::string(62, 'a'), s.stationName);
    EXPECT_EQ(std::optional<std::string>(name), StoredText("StationName"));
}

TEST_F(AppSettingsTest, SaveWritesEveryValueAndTheHiveReadsBack) {
    AppSettings s;
    LoadSettings(s);
    s.stationName = "Ann \"Q\" Smith";
    s.modemSelection = "Virtual Modem";
    s.extraSettings = "AT&K3\\N";
    s.flowControl = kFlowSoftware;
    ASSERT_EQ(ERROR_SUCCESS, SaveSettings(s));
    std::string hive = testsupport::TempDir::ReadFile(RegistryHivePath(HKEY_CURRENT_USER));
    EXPECT_NE(std::string::npos, hive.find("[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n"
                                           "\"StationName\"=\"Ann \\\"Q\\\" Smith\"\n"));
    EXPECT_NE(std::string::npos, hive.find("\"ModemSelection\"=\"Virtual Modem\"\n"));
    EXPECT_NE(std::string::npos, hive.find("\"FlowControl\"=dword:00000001\n"));
    EXPECT_EQ(14u, StoredNames().size());
    ReloadRegistry();
    AppSettings again;
    LoadSettings(again);
    EXPECT_EQ(s.stationName, again.stationName);
    EXPECT_EQ(s.modemSelection, again.modemSelection);
    EXPECT_EQ(s.extraSettings, again.extraSettings);
    EXPECT_EQ(kFlowSoftware, again.flowControl);
}

TEST_F(AppSettingsTest, HandEditedHiveLoads) {
    m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg",
                    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Korvane\\Sendari\\1.0]\r\n"
                    "\"stationname\"=\"Edited\"\r\n\"NumberOfAttempts\"=dword:9\r\n"
                    "\"GeneralReceiveFolder\"=\"/srv/inbox\"\r\n");
    AppSettings s;
    LoadSettings(s);
    EXPECT_EQ("Edited", s.stationName);
    EXPECT_EQ(9u, s.numberOfAttempts);
    EXPECT_EQ("/srv/inbox", s.generalReceiveFolder);
    EXPECT_EQ(std::optional<DWORD>(1), StoredNumber("DelayBetweenRedials"));
}

TEST_F(AppSettingsTest, UnwritableConfigurationGivesDefaultsAndAFailedSave) {
    std::string blocker = m_dir.WriteFile("not-a-folder", "x");
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    AppSettings s;
    LoadSettings(s);
    EXPECT_EQ(3u, s.numberOfAttempts);
    EXPECT_EQ(DataDirectory() + "/Received Files", s.generalReceiveFolder);
    EXPECT_NE(ERROR_SUCCESS, SaveSettings(s));
}

} // namespace
