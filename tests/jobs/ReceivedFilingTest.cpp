// Filing a receive call's files without a window: whole files into the dated folder, the
// broken one left to resume, what a broken call filed remembered for its redial, the station's
// folder removed once nothing is left in it, and every file logged.
#include "jobs/ReceivedFiling.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "jobs/FiledCopies.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

struct ReceivedFilingTest : testing::Test {
    ReceivedFilingTest() {
        settings.generalReceiveFolder = temp / "inbox";
        context.settings = &settings;
        context.receiveFolder = temp / "inbox/Partially Received Files";
        context.callFolder = context.receiveFolder + "/Lighthouse";
        data::CreateFolderPath(context.callFolder);
    }

    data::FileRecord Arrived(const std::string& name, const std::string& content, bool whole) {
        temp.WriteFile("inbox/Partially Received Files/Lighthouse/" + name, content);
        data::FileRecord r;
        r.path = context.callFolder + "/" + name;
        r.size = static_cast<std::int64_t>(content.size());
        r.failed = whole ? data::kRecordSuccessful : data::kRecordFailed;
        r.isReceive = 1;
        r.peer = "Lighthouse";
        r.closed = 1;
        return r;
    }

    int LogLines() const {
        std::ifstream log(temp / "TRANSLOG.TXT");
        int lines = 0;
        for (std::string line; std::getline(log, line);)
            ++lines;
        return lines;
    }

    testsupport::TempDir temp;
    data::AppSettings settings;
    jobs::JobContext context;
    const std::time_t now = 1765324800; // 10 December 2025
};

TEST_F(ReceivedFilingTest, ABrokenCallFilesTheWholeFilesAndRemembersThem) {
    std::vector<data::FileRecord> records{Arrived("whole.bin", "all of it", true),
                                          Arrived("half.bin", "half", false)};
    jobs::ReceivedFiling(context, temp / "TRANSLOG.TXT").File(records, false, now);

    const std::string dated = settings.generalReceiveFolder + "/" + data::DatedFolderName(now);
    EXPECT_EQ(records[0].path, dated + "/whole.bin");
    EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/whole.bin"), "all of it");
    EXPECT_EQ(records[1].path, context.callFolder + "/half.bin");
    EXPECT_TRUE(fs::exists(context.callFolder + "/half.bin")) << "kept to resume";
    const auto remembered = jobs::LoadFiledFiles(context.callFolder, std::time(nullptr));
    ASSERT_EQ(remembered.size(), 1u);
    EXPECT_EQ(remembered[0].name, "whole.bin");
    EXPECT_EQ(remembered[0].size, 9);
    EXPECT_EQ(LogLines(), 2);
    EXPECT_EQ(context.filesReceived, 1);
}

TEST_F(ReceivedFilingTest, ACallThatEndedWellLeavesNoStationFolderBehind) {
    std::vector<data::FileRecord> records{Arrived("a.txt", "a", true), Arrived("b.txt", "b", true)};
    bool converting = false;
    jobs::ReceivedFiling(context, temp / "TRANSLOG.TXT").File(records, true, now, [&] {
        converting = true;
    });
    EXPECT_FALSE(fs::exists(context.callFolder));
    EXPECT_FALSE(converting) << "MacBinary conversion is off";
    EXPECT_EQ(LogLines(), 2);
    EXPECT_EQ(context.filesReceived, 2);
}

TEST_F(ReceivedFilingTest, WithoutAReceiveFolderSettingTheFilesStayAndAreLogged) {
    settings.generalReceiveFolder.clear();
    std::vector<data::FileRecord> records{Arrived("a.txt", "a", true)};
    jobs::ReceivedFiling(context, temp / "TRANSLOG.TXT").File(records, true, now);
    EXPECT_EQ(records[0].path, context.callFolder + "/a.txt");
    EXPECT_TRUE(fs::exists(records[0].path));
    EXPECT_EQ(LogLines(), 1);
}

} // namespace
