// The Transfer Files window driven by a scripted stream of job messages: the worker is a
// script that posts what a real job posts and waits for the buttons the test presses.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <atomic>
#include <chrono>
#include <thread>

#include "jobs/JobOutcome.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/WindowStatusReporter.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/TransferDialog.h"

namespace {

using namespace std::chrono_literals;

using Request = jobs::JobRequests::Request;

// Waits (bounded) until the window has made the request `value` of the job.
bool AwaitRequest(const jobs::JobContext& context, Request value) {
    for (int i = 0; i < 1000; ++i) {
        if (context.requests.Current() == value)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void PostProgress(jobs::JobStatusBlock& block, int reset, const std::string& name, int size,
                  int position, int errors) {
    auto record = std::make_unique<jobs::ProgressRecord>();
    record->resetFlag = reset;
    record->fileName = name;
    record->fileSize = size;
    record->position = position;
    record->errors = errors;
    platform::PostMessage(block.Window(), jobs::WM_JOB_PROGRESS, 0, 0, std::move(record));
}

std::atomic<int> g_scriptStage{0};

// A send job: a redial countdown, a connection, one file a quarter through, then it waits for
// Stop and ends as stopped.
int ScriptedSendJob(jobs::JobThreadParameter& parameter) {
    jobs::JobStatusBlock& block = *parameter.block;
    jobs::JobContext& context = *parameter.context;
    jobs::SetJobStatus(block, jobs::kStatusInitializingModem);
    context.redialCountdown = 90;
    jobs::SetJobStatus(block, jobs::kStatusWaitingToRedial);
    g_scriptStage = 1;
    if (AwaitRequest(context, Request::DialNow)) {
        context.requests.TakeBackDialNow();
        context.redialCountdown = 0;
        jobs::SetJobStatus(block, jobs::kStatusWaitingToRedial);
        PostProgress(block, 1, "", 0, 0, 0);
        context.connectSpeed = 28800;
        jobs::SetJobStatus(block, jobs::kStatusConnected);
        PostProgress(block, 0, "/outbox/report.txt", 1000000, 250000, 2);
        g_scriptStage = 2;
        AwaitRequest(context, Request::Stop);
    }
    block.finalResult = jobs::kJobAborted;
    jobs::PostJobDone(block);
    return 0;
}

TEST(TransferDialogTest, ShowsTheJobAndStopsOnlyWhenTheUserConfirms) {
    testsupport::TempDir temp;
    g_scriptStage = 0;
    jobs::JobContext context;
    context.isSend = 1;
    context.destinationName = "Harbour Office";
    context.destinationPhone = "555 0100";
    std::vector<std::string> files{temp / "report.txt", temp / "chart.png"};
    uitest::MessageRecorder messages(data::MessageAnswer::No);

    ui::TransferDialog dialog(ScriptedSendJob, context, &files);
    dialog.Logic().SetLogPath(temp / "log.txt");
    EXPECT_EQ(uitest::ControlsWithoutHelp(&dialog), QStringList());
    // Opening texts before the worker says anything.
    EXPECT_EQ(dialog.windowTitle(), "Sending To: Harbour Office");
    EXPECT_EQ(dialog.Field(jobs::kControlStatusLine)->text(), "Starting");
    EXPECT_EQ(dialog.FilesLabel()->text(), "Files remaining to be sent:");
    EXPECT_EQ(dialog.Field(jobs::kControlFiles)->text(), "2");
    EXPECT_EQ(dialog.Field(jobs::kControlFiles)->alignment() & Qt::AlignRight, Qt::AlignRight)
        << "the count lines up with the other figures";
    EXPECT_EQ(dialog.Field(jobs::kControlBytes)->text(), "-- of --");
    EXPECT_EQ(dialog.Field(jobs::kControlSpeed)->text(), "-- cps (--% efficiency)");
    EXPECT_EQ(dialog.StopButton()->text(), "&Stop");
    dialog.show();

    // The redial countdown turns the button into "Dial Now"; pressing it asks nothing.
    ASSERT_TRUE(uitest::RunUntil([&] { return dialog.StopButton()->text() == "&Dial Now"; }));
    EXPECT_EQ(dialog.Field(jobs::kControlTimeLeft)->text(), "00:01:30");
    EXPECT_TRUE(dialog.StopWaitingButton()->isVisible()) << "Stop stays beside Dial Now";
    dialog.StopButton()->click();
    ASSERT_TRUE(
        uitest::RunUntil([&] { return g_scriptStage == 2 && dialog.Progress()->value() == 25; }));
    EXPECT_TRUE(messages.ids.empty());
    EXPECT_EQ(dialog.StopButton()->text(), "&Stop");
    EXPECT_FALSE(dialog.StopWaitingButton()->isVisible());
    EXPECT_EQ(dialog.Field(jobs::kControlConnectSpeed)->text(), "28800 bps");
    EXPECT_EQ(dialog.Field(jobs::kControlBytes)->text(), "250K of 1000K");
    EXPECT_EQ(dialog.Field(jobs::kControlErrors)->text(), "2");
    EXPECT_EQ(dialog.Field(jobs::kControlStatusLine)->text(), "Sending: report.txt");

    // The close box asks, and "No" keeps the job running; the window does not close.
    dialog.close();
    EXPECT_EQ(messages.ids, std::vector<int>{50221});
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(context.requests.Any());
    // Escape is Stop too, and "Yes" stops.
    messages.answer = data::MessageAnswer::Yes;
    dialog.reject();
    EXPECT_EQ(messages.ids.size(), 2u);
    // A second Stop does not ask again.
    messages.ids.clear();
    if (dialog.isVisible())
        dialog.StopButton()->click();
    EXPECT_TRUE(messages.ids.empty());

    // The job's end closes the window once its closing work is done.
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(dialog.Logic().Done());
    EXPECT_EQ(dialog.Logic().Block().finalResult, jobs::kJobAborted);
    // The file that was under way is logged as failed and stays in the list to send.
    EXPECT_EQ(files.size(), 2u);
    EXPECT_NE(testsupport::TempDir::ReadFile(temp / "log.txt").find("Failed"), std::string::npos);
}

} // namespace
