// The registry calls over hive files: Win32 call semantics, the REGEDIT4 text on disk, damaged
// hives, and two processes saving at once.
#include "platform/Registry.h"

#include "platform/Paths.h"
#include "platform/RegistryHive.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

namespace {

constexpr const char* kSettingsKey = "Software\\Korvane\\Sendari\\1.0";

// Whether one of the notices holds `text`.
testing::AssertionResult Said(const std::vector<std::string>& notices, const std::string& text) {
    std::string all;
    for (const std::string& notice : notices) {
        if (notice.find(text) != std::string::npos)
            return testing::AssertionSuccess();
        all += "\n" + notice;
    }
    return testing::AssertionFailure() << "no notice says '" << text << "':" << all;
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { ReloadRegistry(); }
    void TearDown() override { ReloadRegistry(); }

    HKEY Create(HKEY root, const char* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyEx(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                KEY_ALL_ACCESS, nullptr, &key, disposition));
        return key;
    }
    static void SetText(HKEY key, const char* name, const char* text) {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                static_cast<DWORD>(std::strlen(text) + 1)));
    }
    static void SetNumber(HKEY key, const char* name, DWORD n) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueEx(key, name, 0, REG_DWORD,
                                               reinterpret_cast<const BYTE*>(&n), sizeof n));
    }
    std::string HiveText(HKEY root) {
        return testsupport::TempDir::ReadFile(RegistryHivePath(root));
    }

    testsupport::TempDir m_dir;
};

TEST_F(RegistryTest, HivesLiveInTheConfigurationFolder) {
    EXPECT_EQ(m_dir.Path() / "config" / "Sendari" / "HKEY_CURRENT_USER.reg",
              std::filesystem::path(RegistryHivePath(HKEY_CURRENT_USER)));
    EXPECT_EQ(m_dir.Path() / "config" / "Sendari" / "HKEY_LOCAL_MACHINE.reg",
              std::filesystem::path(RegistryHivePath(HKEY_LOCAL_MACHINE)));
}

TEST_F(RegistryTest, CreateReportsNewThenExistingAndIgnoresCase) {
    DWORD disposition = 0;
    HKEY first = Create(HKEY_CURRENT_USER, kSettingsKey, &disposition);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    HKEY second = Create(HKEY_CURRENT_USER, "SOFTWARE\\korvane\\SENDARI\\1.0", &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    SetText(first, "StationName", "Ann");
    char buffer[16] = {};
    DWORD size = sizeof buffer;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueEx(second, "STATIONNAME", nullptr, &type,
                                             reinterpret_cast<LPBYTE>(buffer), &size));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(4u, size);
    EXPECT_STREQ("Ann", buffer);
    RegCloseKey(first);
    RegCloseKey(second);
}

TEST_F(RegistryTest, QuerySizesFollowWin32Rules) {
    HKEY key = Create(HKEY_CURRENT_USER, kSettingsKey);
    SetText(key, "Name", "Station");
    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueEx(key, "Name", nullptr, &type, nullptr, &size));
    EXPECT_EQ(8u, size);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueEx(key, "Name", nullptr, nullptr,
                                               reinterpret_cast<LPBYTE>(small), &size));
    EXPECT_EQ(8u, size);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueEx(key, "Missing", nullptr, nullptr, nullptr, &size));
    HKEY missing = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Nobody", 0, KEY_READ, &missing));
    EXPECT_EQ(nullptr, missing);
    RegCloseKey(key);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueEx(key, "Name", nullptr, nullptr, nullptr, &size));
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrder) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm");
    SetText(key, "COM3", "/dev/ttyUSB0");
    SetText(key, "COM1", "/dev/ttyS0");
    SetNumber(key, "Count", 2);
    HKEY modems = Create(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\Modem");
    RegCloseKey(Create(modems, "0001"));
    RegCloseKey(Create(modems, "0000"));

    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[32];
        DWORD length = sizeof name;
        LONG r = RegEnumValue(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(ERROR_SUCCESS, r);
        EXPECT_EQ(std::strlen(name), length);
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"COM3", "COM1", "Count"}), names);

    char name[8];
    DWORD length = sizeof name;
    EXPECT_EQ(ERROR_SUCCESS,
              RegEnumKeyEx(modems, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("0001", name);
    length = 4; // no room for the NUL
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumKeyEx(modems, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
    length = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumKeyEx(modems, 2, name, &length, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(key);
    RegCloseKey(modems);
    EXPECT_EQ(std::optional<std::string>("/dev/ttyUSB0"),
              ReadRegistryString(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", "com3"));
}

TEST_F(RegistryTest, DeletingValuesAndKeys) {
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Test\\Child\\Grandchild");
    SetNumber(key, "N", 1);
    HKEY parent = Create(HKEY_CURRENT_USER, "Software\\Test");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValue(key, "n"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValue(key, "n"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKey(parent, "Child"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueEx(key, "N", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKey(parent, "Child"));
    EXPECT_EQ(std::string::npos, HiveText(HKEY_CURRENT_USER).find("Child"));
    RegCloseKey(key);
    RegCloseKey(parent);
}

TEST_F(RegistryTest, HiveIsReadableRegedit4Text) {
    HKEY key = Create(HKEY_CURRENT_USER, kSettingsKey);
    SetText(key, "Name", "say \"hi\" C:\\x");
    SetNumber(key, "N", 3);
    BYTE bytes[] = {1, 2};
    RegSetValueEx(key, "B", 0, REG_BINARY, bytes, sizeof bytes);
    RegCloseKey(key);
    EXPECT_EQ("REGEDIT4\n\n[HKEY_CURRENT_USER]\n\n[HKEY_CURRENT_USER\\Software]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Korvane]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n"
              "\"Name\"=\"say \\\"hi\\\" C:\\\\x\"\n\"N\"=dword:00000003\n\"B\"=hex:01,02\n\n",
              HiveText(HKEY_CURRENT_USER));
}

TEST_F(RegistryTest, HandEditedHiveLoads) {
    m_dir.WriteFile("config/Sendari/HKEY_LOCAL_MACHINE.reg",
                    "REGEDIT4\r\n\r\n; the port map\r\n"
                    "[hkey_local_machine\\Hardware\\DeviceMap\\SerialComm]\r\n"
                    "\"COM3\" = \"/dev/ttyUSB0\"\r\n"
                    "\"Speed\"=dword:1C200\r\n"
                    "\"Init\"=hex:41,54,\\\r\n   5a,0d\r\n"
                    "@=\"default\"\r\n");
    EXPECT_EQ(std::optional<std::string>("/dev/ttyUSB0"),
              ReadRegistryString(HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm", "COM3"));
    EXPECT_EQ(std::optional<DWORD>(115200),
              ReadRegistryNumber(HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm", "Speed"));
    EXPECT_EQ(std::optional<std::string>("default"),
              ReadRegistryString(HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm", ""));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm", 0,
                                          KEY_READ, &key));
    BYTE init[8];
    DWORD size = sizeof init;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueEx(key, "Init", nullptr, &type, init, &size));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ(std::string("ATZ\r"), std::string(reinterpret_cast<char*>(init), size));
    RegCloseKey(key);
}

TEST_F(RegistryTest, ChangesByAnotherWriterAreSeen) {
    WriteRegistryNumber(HKEY_CURRENT_USER, kSettingsKey, "N", 1);
    m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg",
                    "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n"
                    "\"N\"=dword:00000007\n\"Extra\"=\"x\"\n");
    EXPECT_EQ(std::optional<DWORD>(7), ReadRegistryNumber(HKEY_CURRENT_USER, kSettingsKey, "N"));
}

TEST_F(RegistryTest, OddTextsAndTypesRoundTrip) {
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Odd");
    SetText(key, "Lines", "one\r\ntwo");
    const BYTE unterminated[] = {'a', 'b'};
    RegSetValueEx(key, "Raw", 0, REG_SZ, unterminated, 2);
    const BYTE multi[] = {'a', 0, 'b', 0, 0};
    RegSetValueEx(key, "Multi", 0, REG_MULTI_SZ, multi, sizeof multi);
    std::vector<BYTE> big(100, 0xAB);
    RegSetValueEx(key, "Big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
    RegCloseKey(key);
    std::string before = HiveText(HKEY_CURRENT_USER);
    ReloadRegistry();
    // Rewriting the reloaded hive must give the same text: nothing was lost on the way.
    WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\Odd", "Z", 0);
    RegDeleteValue(HKEY_CURRENT_USER, "Z");
    HKEY odd = Create(HKEY_CURRENT_USER, "Software\\Odd");
    RegDeleteValue(odd, "Z");
    RegCloseKey(odd);
    EXPECT_EQ(before, HiveText(HKEY_CURRENT_USER));
    EXPECT_EQ(std::optional<std::string>("one\r\ntwo"),
              ReadRegistryString(HKEY_CURRENT_USER, "Software\\Odd", "Lines"));
}

TEST_F(RegistryTest, DamagedHiveLoadsWhatItCanAndIsKeptUntilASave) {
    std::string garbage =
        "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n\"Good\"=dword:00000005\n"
        "\"Bad\"=dword:zz\n\x01\x02\xff garbage\n[HKEY_CURRENT_USER\\Software\\B\n"
        "\"Lost\"=\"x\"\n[HKEY_CURRENT_USER\\Software\\C]\n\"Trunc\"=\"abc";
    std::string path = m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg", garbage);
    EXPECT_EQ(std::optional<DWORD>(5),
              ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "Good"));
    EXPECT_EQ(std::nullopt, ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "Bad"));
    EXPECT_EQ(std::nullopt, ReadRegistryString(HKEY_CURRENT_USER, "Software\\C", "Trunc"));
    EXPECT_EQ(garbage, testsupport::TempDir::ReadFile(path)); // reading never rewrites
    WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "New", 1);
    EXPECT_EQ(garbage, testsupport::TempDir::ReadFile(path + ".damaged"));
    std::string saved = testsupport::TempDir::ReadFile(path);
    EXPECT_NE(std::string::npos, saved.find("\"Good\"=dword:00000005"));
    EXPECT_NE(std::string::npos, saved.find("\"New\"=dword:00000001"));
}

TEST_F(RegistryTest, EachRepairKeepsItsOwnDamagedCopyAndIsReported) {
    const std::string path = RegistryHivePath(HKEY_CURRENT_USER);
    TakeRegistryNotices();
    for (const char* damage : {"first damage", "second damage"}) {
        m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg",
                        std::string("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n") + damage +
                            "\n");
        ReloadRegistry();
        WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "New", 1);
    }
    EXPECT_NE(testsupport::TempDir::ReadFile(path + ".damaged").find("first damage"),
              std::string::npos);
    EXPECT_NE(testsupport::TempDir::ReadFile(path + ".damaged.2").find("second damage"),
              std::string::npos);
    const std::vector<std::string> notices = TakeRegistryNotices();
    EXPECT_TRUE(Said(notices, path + " is damaged: 1 line(s) could not be read"));
    EXPECT_TRUE(Said(notices, path + " was repaired: 1 line(s) could not be read"));
    EXPECT_TRUE(Said(notices, "kept as " + path + ".damaged.2"));
}

// A hive that is there but cannot be read is neither used nor ever saved over. Reading must
// fail for real, so a child process gives up root to try it.
TEST_F(RegistryTest, AHiveThatCannotBeReadIsNeverSavedOver) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to take a user without the right to read the hive";
    const std::string path = RegistryHivePath(HKEY_CURRENT_USER);
    const std::string mine = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mine]\n"
                             "\"Years\"=\"of settings\"\n";
    m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg", mine);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    // The folders are open to the other user, so only the file itself is out of its reach.
    for (const std::string& folder : {m_dir.Path().string(), m_dir.Path().string() + "/config",
                                      m_dir.Path().string() + "/config/Sendari"})
        ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(3);
        ReloadRegistry();
        const bool unseen = !ReadRegistryString(HKEY_CURRENT_USER, "Software\\Mine", "Years");
        const LONG saved = WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\New", "Value", 1);
        const std::vector<std::string> notices = TakeRegistryNotices();
        const bool told = !notices.empty() && notices[0].find(path) != std::string::npos &&
                          notices[0].find("could not be read") != std::string::npos;
        _exit(unseen && saved != ERROR_SUCCESS && told ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(testsupport::TempDir::ReadFile(path), mine);
}

TEST_F(RegistryTest, ImportMergesDeletesAndReportsDamage) {
    WriteRegistryString(HKEY_LOCAL_MACHINE, "Old\\Key", "V", "x");
    WriteRegistryString(HKEY_LOCAL_MACHINE, "Keep", "Gone", "x");
    EXPECT_EQ(ERROR_SUCCESS, RegImportText("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Old]\n"
                                           "[HKEY_LOCAL_MACHINE\\Keep]\n\"Gone\"=-\n\"New\"=\"y\"\n"
                                           "[HKEY_CURRENT_USER\\Software\\X]\n\"N\"=dword:2\n"));
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Old", 0, KEY_READ, &key));
    EXPECT_EQ(std::nullopt, ReadRegistryString(HKEY_LOCAL_MACHINE, "Keep", "Gone"));
    EXPECT_EQ(std::optional<std::string>("y"),
              ReadRegistryString(HKEY_LOCAL_MACHINE, "Keep", "New"));
    EXPECT_EQ(std::optional<DWORD>(2), ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\X", "N"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegImportText("REGEDIT4\n[HKEY_CURRENT_USER\\Y]\nnonsense\n"));
}

// A hive is read whatever way it was saved, and a cut-off number is not taken for a smaller one.
TEST_F(RegistryTest, Utf16AndCutOffHivesKeepWhatTheyReallyHold) {
    const std::string path = RegistryHivePath(HKEY_CURRENT_USER);
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\"
                              "Software\\A]\r\n\"Rate\"=dword:000004b0\r\n\"Name\"=\"Quay\"\r\n"))
        utf16 += std::string{c, '\0'};
    m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg", utf16);
    EXPECT_EQ(ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "Rate"), 1200u);
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, "Software\\A", "Name"), "Quay");

    TakeRegistryNotices();
    for (const char* cut : {"\"Rate\"=dword:0000", "\"Bytes\"=hex:01,0"}) {
        m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg",
                        std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\A]\n") + cut);
        ReloadRegistry();
        EXPECT_EQ(ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "Rate"), std::nullopt);
        HKEY key = Create(HKEY_CURRENT_USER, "Software\\A");
        EXPECT_EQ(RegQueryValueEx(key, "Bytes", nullptr, nullptr, nullptr, nullptr),
                  ERROR_FILE_NOT_FOUND);
        RegCloseKey(key);
        WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "New", 1);
    }
    const std::vector<std::string> notices = TakeRegistryNotices();
    EXPECT_TRUE(Said(notices, path + " was repaired"));
}

// Keys nested past any use, values and hives past any size are refused, from the calls and from
// the file alike, and a hive too large to be ours is neither read nor saved over.
TEST_F(RegistryTest, DepthAndSizeLimitsHold) {
    std::string deep = "Software";
    for (std::size_t i = 0; i < kMaxRegistryKeyDepth; ++i)
        deep += "\\k";
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyEx(HKEY_CURRENT_USER, deep.c_str(), 0, nullptr,
                                                      0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const std::vector<BYTE> big(kMaxRegistryValueSize + 1);
    key = Create(HKEY_CURRENT_USER, "Software\\A");
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegSetValueEx(key, "Big", 0, REG_BINARY, big.data(), DWORD(big.size())));
    RegCloseKey(key);
    // Long names at full depth would write a hive larger than any that may be read back.
    std::string wide;
    for (std::size_t i = 0; i < kMaxRegistryKeyDepth; ++i)
        wide += (i ? "\\" : "") + std::string(kMaxRegistryKeyNameLength, 'n');
    const std::string before = HiveText(HKEY_CURRENT_USER);
    EXPECT_EQ(ERROR_NOT_ENOUGH_QUOTA, RegCreateKeyEx(HKEY_CURRENT_USER, wide.c_str(), 0, nullptr, 0,
                                                     KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(HiveText(HKEY_CURRENT_USER), before);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyEx(HKEY_CURRENT_USER, wide.c_str(), 0, KEY_READ, &key));

    TakeRegistryNotices();
    std::string nested = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\A]\n\"Kept\"=dword:1\n"
                         "[HKEY_CURRENT_USER";
    for (int i = 0; i < 100000; ++i)
        nested += "\\a";
    m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg", nested + "]\n\"Lost\"=dword:2\n");
    ReloadRegistry();
    EXPECT_EQ(ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "Kept"), 1u);
    WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "New", 1);
    EXPECT_TRUE(Said(TakeRegistryNotices(), "(a key is nested deeper than 512 levels)"));

    const std::string huge = "REGEDIT4\n" + std::string(kMaxRegistryTextSize, ';') + "\n";
    m_dir.WriteFile("config/Sendari/HKEY_CURRENT_USER.reg", huge);
    ReloadRegistry();
    EXPECT_NE(WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\A", "New", 2), ERROR_SUCCESS);
    EXPECT_EQ(HiveText(HKEY_CURRENT_USER).size(), huge.size());
    EXPECT_TRUE(Said(TakeRegistryNotices(), "larger than 16 MiB"));
}

TEST_F(RegistryTest, FollowsTheConfigurationFolderOfEachTest) {
    WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\T", "N", 1);
    {
        testsupport::TempDir other; // points XDG_CONFIG_HOME elsewhere
        EXPECT_EQ(std::nullopt, ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\T", "N"));
    }
    setenv("XDG_CONFIG_HOME", (m_dir.Path() / "config").c_str(), 1);
    EXPECT_EQ(std::optional<DWORD>(1), ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\T", "N"));
}

TEST_F(RegistryTest, TwoProcessesSavingAtOnceKeepEveryValue) {
    constexpr int kWrites = 40;
    WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\Race", "Start", 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    const char* prefix = child == 0 ? "Child" : "Parent";
    for (int i = 0; i < kWrites; ++i)
        WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\Race", prefix + std::to_string(i), i);
    if (child == 0)
        _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    ReloadRegistry();
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(std::optional<DWORD>(i), ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\Race",
                                                              "Child" + std::to_string(i)));
        EXPECT_EQ(std::optional<DWORD>(i), ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\Race",
                                                              "Parent" + std::to_string(i)));
    }
}

// Points HOME into a test folder and puts the real one back afterwards.
class PathsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* home = std::getenv("HOME");
        m_home = home ? home : "";
        setenv("HOME", m_dir.Path().c_str(), 1);
    }
    void TearDown() override { setenv("HOME", m_home.c_str(), 1); }

    testsupport::TempDir m_dir;
    std::string m_home;
};

TEST_F(PathsTest, DataFolderFollowsSendariHomeThenXdgThenHome) {
    EXPECT_EQ((m_dir.Path() / "data" / "Sendari").string(), DataDirectory());
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.Path() / "data" / "Sendari"));
    EXPECT_EQ((m_dir.Path() / "data" / "Sendari" / "Received Files").string(),
              DefaultReceiveFolder());
    setenv("SENDARI_HOME", (m_dir.Path() / "portable").c_str(), 1);
    EXPECT_EQ((m_dir.Path() / "portable").string(), DataDirectory());
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
    setenv("SENDARI_HOME", "relative/./here/", 1);
    EXPECT_EQ((m_dir.Path() / "relative/here").string(), DataDirectory());
    std::filesystem::current_path(previous);
    unsetenv("SENDARI_HOME");
    EXPECT_EQ((m_dir.Path() / "data" / "Sendari").string(), DataDirectory());
    setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
    EXPECT_EQ((m_dir.Path() / ".local" / "share" / "Sendari").string(), DataDirectory());
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.Path() / ".local" / "share" / "Sendari"));
}

TEST_F(PathsTest, DocumentsFolderFromUserDirsElseHome) {
    EXPECT_EQ(m_dir.Path().string(), DocumentsFolder());
    m_dir.WriteFile("config/user-dirs.dirs", "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
    EXPECT_EQ(m_dir.Path().string(), DocumentsFolder()); // named but missing
    std::filesystem::create_directories(m_dir.Path() / "Docs");
    EXPECT_EQ((m_dir.Path() / "Docs").string(), DocumentsFolder());
}

// Runs `body` in a child process as another user (nobody); its exit status.
template <typename Body> int AsAnotherUser(Body body) {
    const pid_t child = fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(3);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool BindSocket(const std::string& path) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return bound;
}

// In a shared temporary folder another user may have made the folder's name first, or a link
// there: neither is used, and neither is a socket another user made there.
TEST_F(PathsTest, TheRuntimeFolderAndSocketAreNeverAnotherUsers) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const std::string shared = (m_dir.Path() / "shared").string();
    std::filesystem::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
    setenv("TMPDIR", shared.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    const std::string mine = shared + "/sendari-" + std::to_string(::getuid());
    ASSERT_EQ(AsAnotherUser([&] {
                  return ::mkdir(mine.c_str(), 0777) == 0 && ::chmod(mine.c_str(), 0777) == 0 &&
                         BindSocket(shared + "/stranger.sock");
              }),
              0);
    std::filesystem::create_directory(m_dir.Path() / "elsewhere");
    std::filesystem::create_directory_symlink(m_dir.Path() / "elsewhere", mine + "-2");

    const std::string folder = PrivateRuntimeDirectory();
    EXPECT_EQ(folder, mine + "-3");
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    setenv("XDG_RUNTIME_DIR", mine.c_str(), 1);
    EXPECT_EQ(PrivateRuntimeDirectory(), folder) << "a runtime folder of another user's";
    setenv("XDG_RUNTIME_DIR", (m_dir.Path() / "elsewhere").c_str(), 1);
    EXPECT_EQ(PrivateRuntimeDirectory(), (m_dir.Path() / "elsewhere").string());
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("TMPDIR");

    ASSERT_TRUE(BindSocket(folder + "/own.sock"));
    std::filesystem::create_symlink(folder + "/own.sock", shared + "/link.sock");
    EXPECT_TRUE(IsOwnSocket(folder + "/own.sock"));
    EXPECT_FALSE(IsOwnSocket(shared + "/stranger.sock"));
    EXPECT_FALSE(IsOwnSocket(shared + "/link.sock"));
    EXPECT_FALSE(IsOwnSocket(folder));
}

} // namespace

namespace {

TEST_F(RegistryTest, TransactionSavesOnceAtItsEnd) {
    WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\T", "Before", 1);
    std::string path = RegistryHivePath(HKEY_CURRENT_USER);
    std::string before = HiveText(HKEY_CURRENT_USER);
    {
        RegistryTransaction transaction;
        {
            RegistryTransaction nested;
            WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\T", "A", 1);
        }
        WriteRegistryString(HKEY_CURRENT_USER, "Software\\T\\Sub", "B", "x");
        RegDeleteValue(HKEY_CURRENT_USER, "nothing");
        // Visible to this process at once, on disk only at the end.
        EXPECT_EQ(std::optional<DWORD>(1),
                  ReadRegistryNumber(HKEY_CURRENT_USER, "Software\\T", "A"));
        EXPECT_EQ(before, HiveText(HKEY_CURRENT_USER));
        EXPECT_EQ(ERROR_SUCCESS, transaction.Commit());
    }
    std::string after = HiveText(HKEY_CURRENT_USER);
    EXPECT_NE(std::string::npos, after.find("\"A\"=dword:00000001"));
    EXPECT_NE(std::string::npos, after.find("[HKEY_CURRENT_USER\\Software\\T\\Sub]\n\"B\"=\"x\""));
}

TEST_F(RegistryTest, TransactionReportsAFailedSave) {
    setenv("XDG_CONFIG_HOME", m_dir.WriteFile("blocker", "").c_str(), 1);
    RegistryTransaction transaction;
    WriteRegistryNumber(HKEY_CURRENT_USER, "Software\\T", "A", 1);
    EXPECT_EQ(ERROR_WRITE_FAULT, transaction.Commit());
}

} // namespace
