// Whole transfer jobs between two stations: a send job calls through one virtual modem, the
// other station answers and receives, each side in its own transfer window.
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "data/FileUtilities.h"
#include "jobs/JobOutcome.h"
#include "jobs/SendJob.h"
#include "platform/Clock.h"
#include "tests/jobs/JobRig.h"
#include "tests/jobs/StationRig.h"
#include "tests/support/TempDir.h"

using namespace jobs;
using jobtest::Answerer;
using jobtest::Station;

namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::vector<std::string> LogLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    // The log is written with CR LF line ends.
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The tab-separated field `index` of a log line.
std::string Field(const std::string& line, int index) {
    std::size_t at = 0;
    for (int i = 0; i < index; ++i)
        at = line.find('\t', at) + 1;
    return line.substr(at, line.find('\t', at) - at);
}

struct TransferScenario : testing::Test {
    TransferScenario() {
        receiver.settings.generalReceiveFolder = temp / "Received Files";
        receiver.context.receiveFolder =
            receiver.settings.generalReceiveFolder + "/Partially Received Files";
        data::CreateFolderPath(receiver.context.receiveFolder);
        sender.context.isSend = 1;
        sender.context.destinationName = "Receiver Station";
        sender.context.destinationPhone = "127.0.0.1:" + std::to_string(receiverPort);
        answering = std::thread([this] { answerer.Run(); });
    }
    ~TransferScenario() override {
        if (answering.joinable()) {
            JobAbortFlag = kAbortStop;
            answering.join();
        }
    }

    // Sends `files` to the receiving station and returns the sender's window result.
    int Send(std::vector<std::string>& files) {
        TransferWindowLogic window(SendJobThread, sender.context, &files);
        window.SetLogPath(temp / "sender.log");
        window.Open();
        window.Start();
        int result = window.RunModal();
        senderEnd = window.Block().End(true, window.ShownFilesDone());
        return result;
    }

    // Waits (real time) until the answering side has finished `count` calls, then ends its
    // waiting for the next one.
    void StopAnswering(std::size_t count) {
        for (int i = 0; i < 600 && answerer.Calls().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        JobAbortFlag = kAbortStop;
        answering.join();
    }

    jobtest::AbortFlagGuard flag;
    testsupport::TempDir temp;
    platform::ScopedTimeAcceleration fast{4.0};
    int receiverPort{jobtest::FreeTcpPort()};
    Station receiver{21, receiverPort, "Receiver Station"};
    Station sender{22, jobtest::FreeTcpPort(), "Sender Station"};
    Answerer answerer{receiver, temp / "receiver.log"};
    std::thread answering;
    JobEnd senderEnd;
};

} // namespace

TEST_F(TransferScenario, ThreeFilesArriveWholeInTheDatedFolderAndBothSidesLogThem) {
    ASSERT_EQ(receiver.status, 0);
    ASSERT_EQ(sender.status, 0);
    const std::vector<std::pair<std::string, std::string>> originals = {
        {"notes.txt", RandomBytes(3000, 1)},
        {"photo one.jpg", RandomBytes(70000, 2)},
        {"archive.zip", RandomBytes(150000, 3)},
    };
    std::vector<std::string> files;
    for (const auto& [name, content] : originals)
        files.push_back(temp.WriteFile("outbox/" + name, content));

    EXPECT_EQ(Send(files), kJobSucceeded);
    StopAnswering(1);
    EXPECT_EQ(ShowJobOutcome(senderEnd).stringId, 50201);
    EXPECT_TRUE(files.empty()); // every sent file left the view's list

    auto calls = answerer.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].result, kJobSucceeded);
    EXPECT_EQ(receiver.context.filesReceived, 3);
    const std::string dated =
        receiver.settings.generalReceiveFolder + "/" + data::DatedFolderName(std::time(nullptr));
    for (const auto& [name, content] : originals)
        EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/" + name), content) << name;

    std::vector<std::string> sent = LogLines(temp / "sender.log");
    std::vector<std::string> received = LogLines(temp / "receiver.log");
    ASSERT_EQ(sent.size(), 3u);
    ASSERT_EQ(received.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Field(sent[i], 1), originals[i].first);
        EXPECT_EQ(Field(sent[i], 2), "Sending");
        EXPECT_EQ(Field(sent[i], 3), "Receiver Station");
        EXPECT_EQ(Field(sent[i], 4), "Successful");
        EXPECT_EQ(Field(received[i], 2), "Receiving");
        EXPECT_EQ(Field(received[i], 3), "Sender Station");
        EXPECT_EQ(Field(received[i], 4), "Successful");
        EXPECT_EQ(Field(received[i], 7), dated + "/" + originals[i].first);
    }
}
