// Whole transfer jobs between two stations: a send job calls through one virtual modem, the
// other station answers and receives, each side in its own transfer window.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "data/FileUtilities.h"
#include "data/UserMessages.h"
#include "jobs/FiledCopies.h"
#include "jobs/JobOutcome.h"
#include "jobs/ModemDialogue.h"
#include "jobs/SendJob.h"
#include "jobs/StationIdentification.h"
#include "jobs/TransferWindow.h"
#include "platform/Clock.h"
#include "protocol/ListFileEngine.h"
#include "protocol/Zmodem.h"
#include "tests/jobs/JobRig.h"
#include "tests/jobs/StationRig.h"
#include "tests/support/TempDir.h"
#include "tests/support/ZmodemFaultTap.h"

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
            receiver.context.requests.RequestStop();
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
        receiver.context.requests.RequestStop();
        answering.join();
    }

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

TEST_F(TransferScenario, StopWhileSendingIsNeitherRetriedNorReported) {
    ASSERT_EQ(receiver.status, 0);
    ASSERT_EQ(sender.status, 0);
    std::vector<std::string> files = {temp.WriteFile("outbox/big.bin", RandomBytes(2000000, 7))};
    std::vector<int> statuses;
    TransferWindowLogic window(SendJobThread, sender.context, &files);
    window.SetLogPath(temp / "sender.log");
    window.SetObserver([&](TransferWindowLogic& w, const platform::PostedMessage& m) {
        if (m.id == WM_JOB_STATUS)
            statuses.push_back(static_cast<int>(m.first));
        // The user presses Stop as soon as the file is on its way (and confirms).
        if (m.id == WM_JOB_PROGRESS && !sender.context.requests.Any())
            w.PressStopButton();
    });
    window.Open();
    window.Start();
    EXPECT_EQ(window.RunModal(), kJobFailed);
    JobEnd end = window.Block().End(true, window.ShownFilesDone());
    StopAnswering(1);
    EXPECT_EQ(end.errorCode, comm::kUserCancelled);
    EXPECT_EQ(ShowJobOutcome(end).kind, MessageKind::None);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), kStatusRetry), 0);
    EXPECT_EQ(files.size(), 1u); // the file stays on the list
}

// Two send jobs at once in one program, each calling a station of its own over four virtual
// modems: the user's Stop of one ends that one only, and the other's files arrive whole.
TEST(TwoJobs, RunSideBySideAndAStopEndsOnlyItsOwn) {
    testsupport::TempDir temp;
    platform::ScopedTimeAcceleration fast{4.0};
    const int portA = jobtest::FreeTcpPort();
    const int portB = jobtest::FreeTcpPort();
    Station receiverA{23, portA, "Station A"};
    Station receiverB{24, portB, "Station B"};
    Station senderA{25, jobtest::FreeTcpPort(), "Sender A"};
    Station senderB{26, jobtest::FreeTcpPort(), "Sender B"};
    for (Station* s : {&receiverA, &receiverB, &senderA, &senderB})
        ASSERT_EQ(s->status, 0);
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<Answerer>> answerers;
    for (auto [station, name] : {std::pair{&receiverA, "a"}, std::pair{&receiverB, "b"}}) {
        station->settings.generalReceiveFolder = temp / ("in-" + std::string(name));
        station->context.receiveFolder =
            station->settings.generalReceiveFolder + "/Partially Received Files";
        data::CreateFolderPath(station->context.receiveFolder);
        answerers.push_back(std::make_unique<Answerer>(
            *station, temp / ("receiver-" + std::string(name) + ".log")));
        threads.emplace_back([a = answerers.back().get()] { a->Run(); });
    }
    senderA.context.isSend = senderB.context.isSend = 1;
    senderA.context.destinationPhone = "127.0.0.1:" + std::to_string(portA);
    senderB.context.destinationPhone = "127.0.0.1:" + std::to_string(portB);
    std::vector<std::string> filesA{temp.WriteFile("outbox-a/big.bin", RandomBytes(3000000, 8))};
    const std::vector<std::pair<std::string, std::string>> originalsB{
        {"one.bin", RandomBytes(200000, 9)},
        {"two.txt", RandomBytes(5000, 10)},
        {"three.dat", RandomBytes(90000, 11)}};
    std::vector<std::string> filesB;
    for (const auto& [name, content] : originalsB)
        filesB.push_back(temp.WriteFile("outbox-b/" + name, content));
    data::MessageHook previous = data::SetMessageHook(
        [](data::MessageKind, int, const std::string&) { return data::MessageAnswer::Yes; });

    int resultA = 0, resultB = 0;
    std::thread jobA([&] {
        TransferWindowLogic window(SendJobThread, senderA.context, &filesA);
        window.SetLogPath(temp / "sender-a.log");
        // Stop (confirmed) once A's file is on its way.
        window.SetObserver([&](TransferWindowLogic& w, const platform::PostedMessage& m) {
            if (m.id == WM_JOB_PROGRESS && !senderA.context.requests.Any())
                w.PressStopButton();
        });
        window.Open();
        window.Start();
        resultA = window.RunModal();
    });
    std::thread jobB([&] {
        TransferWindowLogic window(SendJobThread, senderB.context, &filesB);
        window.SetLogPath(temp / "sender-b.log");
        window.Open();
        window.Start();
        resultB = window.RunModal();
    });
    jobA.join();
    jobB.join();
    data::SetMessageHook(previous);
    EXPECT_FALSE(senderB.context.requests.Any()) << "A's Stop reached B";

    // Both calls are over before the stations are told to stop waiting: a stop that came
    // during a call would end that call and be taken back with it.
    for (std::size_t i = 0;
         i < 600 && (answerers[0]->Calls().empty() || answerers[1]->Calls().empty()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    receiverA.context.requests.RequestStop();
    receiverB.context.requests.RequestStop();
    for (std::thread& t : threads)
        t.join();

    EXPECT_NE(resultA, kJobSucceeded);
    EXPECT_EQ(filesA.size(), 1u) << "the stopped file stays on A's list";
    EXPECT_EQ(resultB, kJobSucceeded);
    EXPECT_TRUE(filesB.empty());
    const std::string dated =
        receiverB.settings.generalReceiveFolder + "/" + data::DatedFolderName(std::time(nullptr));
    for (const auto& [name, content] : originalsB)
        EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/" + name), content) << name;
}

// ---- A line that breaks, and a receiving station in a process of its own ----

namespace {

extern "C" char** environ;

// Stands between the two modems' TCP "telephone line". The first call is cut once `cutAt`
// bytes have gone from caller to callee; later calls pass untouched.
// Where a frame-aimed cut breaks the first call: before the occurrence-th unit of `kind`
// that the caller writes, or, with `answerAfterEof`, before the callee's ZRINIT that answers
// the caller's occurrence-th ZEOF (the file arrived whole, its confirmation is lost).
struct CutPoint {
    int kind{-1};
    int occurrence{0};
    bool answerAfterEof{false};
};

class LineRelay {
  public:
    LineRelay(int calleePort, CutPoint cut) : LineRelay(calleePort, -1L) { m_cutPoint = cut; }
    LineRelay(int calleePort, long cutAt) : m_calleePort{calleePort}, m_cutAt{cutAt} {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        listen(m_listener, 4);
        m_thread = std::thread([this] { Serve(); });
    }
    ~LineRelay() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }

    int Port() const { return m_port; }
    // Bytes from caller to callee on each call so far.
    std::vector<long> CallerBytes() const {
        std::lock_guard lock(m_mutex);
        return m_callerBytes;
    }

  private:
    void Serve() {
        bool first = true;
        while (!m_stop) {
            pollfd wait{m_listener, POLLIN, 0};
            if (poll(&wait, 1, 50) <= 0)
                continue;
            int caller = accept(m_listener, nullptr, nullptr);
            if (caller < 0)
                continue;
            int callee = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(m_calleePort));
            if (connect(callee, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                Pump(caller, callee, first ? m_cutAt : -1, first ? m_cutPoint : CutPoint{});
            first = false;
            close(caller);
            close(callee);
        }
    }

    // Copies both ways until either end closes, or the cut comes.
    void Pump(int caller, int callee, long cutAt, CutPoint cut) {
        // Both directions pass through taps that follow the frames; only an aimed one cuts.
        testsupport::ZmodemFaultTap fromCaller, fromCallee;
        if (cut.kind >= 0 && !cut.answerAfterEof)
            fromCaller.Also(cut.kind, cut.occurrence, testsupport::Fault::kCut);
        bool armed = false;
        std::deque<unsigned char> passed;
        std::size_t call;
        {
            std::lock_guard lock(m_mutex);
            m_callerBytes.push_back(0);
            call = m_callerBytes.size() - 1;
        }
        long forward = 0;
        char buffer[4096];
        while (!m_stop) {
            pollfd ends[2] = {{caller, POLLIN, 0}, {callee, POLLIN, 0}};
            if (poll(ends, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(ends[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                ssize_t got = read(ends[i].fd, buffer, sizeof buffer);
                if (got <= 0)
                    return;
                if (i == 0 && cutAt >= 0 && forward + got >= cutAt)
                    return; // the line breaks in the middle of this piece
                passed.clear();
                (i == 0 ? fromCaller : fromCallee)
                    .Write(reinterpret_cast<unsigned char*>(buffer), static_cast<int>(got), passed);
                if (cut.answerAfterEof && !armed && fromCaller.CountOf(kEofKind) > cut.occurrence) {
                    armed = true;
                    fromCallee.Also(kZrinitKind, fromCallee.CountOf(kZrinitKind),
                                    testsupport::Fault::kCut);
                }
                std::string out(passed.begin(), passed.end());
                if (!out.empty() && write(ends[1 - i].fd, out.data(), out.size()) !=
                                        static_cast<ssize_t>(out.size()))
                    return;
                if (fromCaller.CutOff() || fromCallee.CutOff())
                    return; // the line breaks just before the aimed frame
                if (i == 0) {
                    forward += got;
                    std::lock_guard lock(m_mutex);
                    m_callerBytes[call] = forward;
                }
            }
        }
    }

    static constexpr int kEofKind = 11;
    static constexpr int kZrinitKind = 1;
    int m_calleePort;
    long m_cutAt;
    CutPoint m_cutPoint;
    int m_listener{-1};
    int m_port{0};
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<long> m_callerBytes;
    std::thread m_thread;
};

constexpr const char* kStationDirVariable = "SENDARI_STATION_DIR";
constexpr const char* kStationPortVariable = "SENDARI_STATION_PORT";
constexpr const char* kStopFile = "stop";
constexpr const char* kCallsFile = "calls.txt";

// The receiving station's folders inside a scenario's folder.
struct ReceivingFolders {
    explicit ReceivingFolders(const std::string& dir)
        : receive{dir + "/Received Files"}, partial{receive + "/Partially Received Files"},
          log{dir + "/receiver.log"} {}
    std::string receive;
    std::string partial;
    std::string log;
};

std::vector<std::string> ReadLines(const std::string& path) {
    return LogLines(path);
}

} // namespace

// The far station of LinkCutDuringTheThirdFile, started by it as a process of its own, with
// its own registry and settings, as a station on another computer has.
TEST(ReceivingStation, AnswersUntilTold) {
    const char* dir = std::getenv(kStationDirVariable);
    const char* port = std::getenv(kStationPortVariable);
    if (!dir || !port)
        GTEST_SKIP() << "runs only as the far station of a scenario";
    testsupport::TempDir home; // this process's own registry
    platform::ScopedTimeAcceleration fast{8.0};
    ReceivingFolders folders(dir);
    Station receiver{21, std::atoi(port), "Receiver Station"};
    ASSERT_EQ(receiver.status, 0);
    receiver.settings.generalReceiveFolder = folders.receive;
    receiver.context.receiveFolder = folders.partial;

    // Each finished call is one line: result, error code, then the names of its file records.
    Answerer answerer{receiver, folders.log};
    std::atomic<bool> finished{false};
    std::thread reporter([&] {
        std::size_t written = 0;
        while (!finished) {
            auto calls = answerer.Calls();
            for (; written < calls.size(); ++written) {
                std::ofstream out(std::string(dir) + "/" + kCallsFile, std::ios::app);
                out << calls[written].result << '\t' << calls[written].errorCode;
                for (const auto& record : calls[written].records)
                    out << '\t' << data::FileNamePart(record.path);
                out << '\n';
            }
            if (std::filesystem::exists(std::string(dir) + "/" + kStopFile))
                receiver.context.requests.RequestStop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    answerer.Run();
    finished = true;
    reporter.join();
}

namespace {

struct LinkCutScenario : testing::Test {
    // Starts this test program again as the receiving station.
    void StartReceivingStation(int port) {
        std::vector<std::string> variables;
        for (char** e = environ; *e; ++e)
            variables.emplace_back(*e);
        variables.push_back(std::string(kStationDirVariable) + "=" + temp.Path().string());
        variables.push_back(std::string(kStationPortVariable) + "=" + std::to_string(port));
        std::vector<char*> envp;
        for (auto& v : variables)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::string filter = "--gtest_filter=ReceivingStation.AnswersUntilTold";
        char* argv[] = {self.data(), filter.data(), nullptr};
        ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    }

    std::vector<std::string> Calls() { return ReadLines(temp / kCallsFile); }

    // Waits (real time) for `count` finished calls on the far side, then ends its waiting.
    void StopReceivingStation(std::size_t count) {
        for (int i = 0; i < 1200 && Calls().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        temp.WriteFile(kStopFile, "");
        int status = 0;
        for (int i = 0; i < 600; ++i) {
            if (waitpid(child, &status, WNOHANG) == child) {
                child = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    ~LinkCutScenario() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

    testsupport::TempDir temp;
    pid_t child{0};
};

} // namespace

TEST_F(LinkCutScenario, LinkCutDuringTheThirdFileIsRecoveredFromThatFile) {
    const int receiverPort = jobtest::FreeTcpPort();
    ReceivingFolders folders(temp.Path().string());
    data::CreateFolderPath(folders.partial);
    StartReceivingStation(receiverPort);

    constexpr int kFileSize = 60000;
    std::vector<std::pair<std::string, std::string>> originals;
    std::vector<std::string> files;
    for (int i = 1; i <= 5; ++i) {
        std::string name = "part" + std::to_string(i) + ".bin";
        originals.emplace_back(name, RandomBytes(kFileSize, static_cast<unsigned>(i)));
        files.push_back(temp.WriteFile("outbox/" + name, originals.back().second));
    }
    // Two files and half of the third, with room for headers and escaped bytes.
    const long cutAt = 2 * kFileSize * 104 / 100 + kFileSize / 2;
    LineRelay relay(receiverPort, cutAt);

    platform::ScopedTimeAcceleration fast{8.0};
    Station sender{22, jobtest::FreeTcpPort(), "Sender Station"};
    ASSERT_EQ(sender.status, 0);
    sender.context.isSend = 1;
    sender.context.destinationName = "Receiver Station";
    sender.context.destinationPhone = "127.0.0.1:" + std::to_string(relay.Port());
    // The receiving station needs a moment to open its modem.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<std::string> retryTexts;
    std::vector<int> statuses;
    TransferWindowLogic window(SendJobThread, sender.context, &files);
    window.SetLogPath(temp / "sender.log");
    window.SetObserver([&](TransferWindowLogic& w, const platform::PostedMessage& m) {
        if (m.id != WM_JOB_STATUS)
            return;
        statuses.push_back(static_cast<int>(m.first));
        if (m.first == kStatusRetry) {
            retryTexts.push_back(w.ControlText(kControlStatusLine));
            // As the window's carrier watch does when it reads, after the protocol has ended,
            // a record made while the carrier was down: the job must still call again.
            sender.context.requests.RaiseCarrierLost();
        }
    });
    window.Open();
    window.Start();
    EXPECT_EQ(window.RunModal(), kJobSucceeded);
    StopReceivingStation(2);

    RecordProperty("retry", retryTexts.empty() ? "" : retryTexts[0]);
    ASSERT_EQ(retryTexts.size(), 1u);
    EXPECT_TRUE(retryTexts[0] == "Transfer error: Timed out" ||
                retryTexts[0] == "Transfer error: Lost carrier signal")
        << retryTexts[0];
    auto at = [&](int id) {
        return std::find(statuses.begin(), statuses.end(), id) - statuses.begin();
    };
    EXPECT_LT(at(kStatusRetry), at(kStatusRecovering));
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), kStatusNegotiating), 2);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), kStatusDialing), 2);
    EXPECT_TRUE(files.empty());

    // The far side saw two calls: the broken one and the one that offered files three to five.
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], "0\t0\tpart3.bin\tpart4.bin\tpart5.bin");
    EXPECT_EQ(Field(calls[0], 2), "part1.bin");
    EXPECT_EQ(Field(calls[0], 4), "part3.bin");

    // The third file resumed where it broke: the second call carried less than three files.
    std::vector<long> carried = relay.CallerBytes();
    ASSERT_EQ(carried.size(), 2u);
    EXPECT_LT(carried[1], 3L * kFileSize - kFileSize / 4);

    const std::string dated = folders.receive + "/" + data::DatedFolderName(std::time(nullptr));
    for (const auto& [name, content] : originals)
        EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/" + name), content) << name;
    EXPECT_TRUE(std::filesystem::is_empty(folders.partial));
}

// ---- A call cut at each phase of the conversation ----

namespace {

struct CutPhase {
    const char* name;
    CutPoint cut;
};

// Three files; the call breaks once, at one place, and the send job reconnects.
const CutPhase kPhases[] = {
    {"DuringTheSecondOffer", {4 /* ZFILE */, 1}},
    {"InTheMiddleOfTheSecondFile", {200 + 'i' /* ZCRCG */, 25}},
    {"AfterTheLastDataBeforeZeof", {11 /* ZEOF */, 1}},
    {"BetweenZeofAndItsZrinit", {11 /* ZEOF */, 1, true}},
    {"DuringZfin", {8 /* ZFIN */, 0}},
};

class CallCut : public LinkCutScenario, public testing::WithParamInterface<CutPhase> {};

} // namespace

TEST_P(CallCut, EveryFileArrivesOnceWholeAndIsLoggedOnceAsSuccessful) {
    const int receiverPort = jobtest::FreeTcpPort();
    ReceivingFolders folders(temp.Path().string());
    data::CreateFolderPath(folders.partial);
    StartReceivingStation(receiverPort);

    constexpr int kFileSize = 20000;
    std::vector<std::pair<std::string, std::string>> originals;
    std::vector<std::string> files;
    for (int i = 1; i <= 3; ++i) {
        std::string name = "cut" + std::to_string(i) + ".bin";
        originals.emplace_back(name, RandomBytes(kFileSize, static_cast<unsigned>(10 + i)));
        files.push_back(temp.WriteFile("outbox/" + name, originals.back().second));
    }
    LineRelay relay(receiverPort, GetParam().cut);

    platform::ScopedTimeAcceleration fast{8.0};
    Station sender{22, jobtest::FreeTcpPort(), "Sender Station"};
    ASSERT_EQ(sender.status, 0);
    sender.context.isSend = 1;
    sender.context.destinationName = "Receiver Station";
    sender.context.destinationPhone = "127.0.0.1:" + std::to_string(relay.Port());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    TransferWindowLogic window(SendJobThread, sender.context, &files);
    window.SetLogPath(temp / "sender.log");
    window.Open();
    window.Start();
    EXPECT_EQ(window.RunModal(), kJobSucceeded);
    const std::size_t calls = relay.CallerBytes().size();
    StopReceivingStation(calls);
    EXPECT_TRUE(files.empty()) << "files left on the list";

    // Each file once, whole, in the dated folder, and nothing left behind as a partial.
    const std::string dated = folders.receive + "/" + data::DatedFolderName(std::time(nullptr));
    for (const auto& [name, content] : originals)
        EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/" + name), content) << name;
    std::size_t filed = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dated))
        ++filed;
    EXPECT_EQ(filed, originals.size()) << "a file was filed twice";
    // No partial copy is left behind. A call that broke after its files were filed leaves
    // links to them, so that a file offered again is recognised; nothing else.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folders.partial)) {
        if (entry.is_directory() || entry.path().filename() == jobs::kFiledListName)
            continue;
        EXPECT_TRUE(std::any_of(originals.begin(), originals.end(),
                                [&](const auto& original) {
                                    return std::filesystem::equivalent(
                                        entry.path(), dated + "/" + original.first);
                                }))
            << entry.path() << " left as a partial copy";
    }

    // Logged once as successful on each side; a broken attempt is logged as failed.
    for (const std::string& log : {(temp / "sender.log"), folders.log}) {
        std::vector<std::string> lines = ReadLines(log);
        for (const auto& [name, content] : originals) {
            int good = 0;
            for (const std::string& line : lines)
                good += Field(line, 1) == name && Field(line, 4) == "Successful";
            EXPECT_EQ(good, 1) << name << " in " << log;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Phases, CallCut, testing::ValuesIn(kPhases),
                         [](const testing::TestParamInfo<CutPhase>& info) {
                             return std::string(info.param.name);
                         });

// Two stations send different files of the same name, and the date of both is the same; a
// broken call leaves each a partial copy. Each copy is resumed only by its own station.
TEST_F(LinkCutScenario, PartialCopiesOfTwoStationsAreNeverSpliced) {
    const int receiverPort = jobtest::FreeTcpPort();
    ReceivingFolders folders(temp.Path().string());
    data::CreateFolderPath(folders.partial);
    StartReceivingStation(receiverPort);
    const std::string first = RandomBytes(60000, 31), other = RandomBytes(60000, 32);
    std::string firstPath = temp.WriteFile("first/report.bin", first);
    std::string otherPath = temp.WriteFile("other/report.bin", other);
    std::filesystem::last_write_time(otherPath, std::filesystem::last_write_time(firstPath));

    platform::ScopedTimeAcceleration fast{8.0};
    Station one{22, jobtest::FreeTcpPort(), "Sender Station"};
    Station two{23, jobtest::FreeTcpPort(), "Second Station"};
    ASSERT_EQ(one.status, 0);
    ASSERT_EQ(two.status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::size_t calls = 0;
    auto sendThrough = [&](Station& station, const std::string& path, CutPoint cut) {
        LineRelay relay(receiverPort, cut);
        station.context.isSend = 1;
        station.context.destinationName = "Receiver Station";
        station.context.destinationPhone = "127.0.0.1:" + std::to_string(relay.Port());
        std::vector<std::string> files{path};
        TransferWindowLogic window(SendJobThread, station.context, &files);
        window.SetLogPath(temp / "sender.log");
        window.Open();
        window.Start();
        int result = window.RunModal();
        std::vector<long> carried = relay.CallerBytes();
        calls += carried.size();
        // The far side must be waiting for the next call before it comes.
        for (int i = 0; i < 1200 && Calls().size() < calls; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return std::make_pair(result, carried);
    };
    constexpr int kSubpacket = 200 + 'i';
    // The first station gives up after its broken call: its partial copy stays.
    one.settings.numberOfAttempts = 1;
    EXPECT_EQ(sendThrough(one, firstPath, {kSubpacket, 20}).first, kJobRetriesExhausted);
    // The second station's call breaks too, later in the file, and it calls again.
    EXPECT_EQ(sendThrough(two, otherPath, {kSubpacket, 35}).first, kJobSucceeded);
    // The first station comes back and resumes its own copy.
    one.settings.numberOfAttempts = 3;
    auto [result, carried] = sendThrough(one, firstPath, {});
    EXPECT_EQ(result, kJobSucceeded);
    ASSERT_EQ(carried.size(), 1u);
    EXPECT_LT(carried[0], 50000) << "the first station's copy was not resumed";
    StopReceivingStation(calls);

    const std::string dated = folders.receive + "/" + data::DatedFolderName(std::time(nullptr));
    std::vector<std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(dated))
        contents.push_back(testsupport::TempDir::ReadFile(entry.path()));
    ASSERT_EQ(contents.size(), 2u);
    EXPECT_TRUE(contents[0] == first || contents[1] == first) << "first file spliced or lost";
    EXPECT_TRUE(contents[0] == other || contents[1] == other) << "second file spliced or lost";
    EXPECT_TRUE(std::filesystem::is_empty(folders.partial));
}

namespace {

// A caller that is not what it says: it dials like a station, names itself as another
// station does, and offers its files with ZMCLOB (replace whatever is there).
int ImpostorCall(Station& caller, const std::string& number, const std::string& list) {
    auto queue = std::make_shared<platform::MessageQueue>();
    JobStatusBlock block{queue};
    JobContext& context = caller.context;
    context.isSend = 1;
    if (InitializeModemForJob(context, block) != kJobSucceeded ||
        DialNumber(context, block, number) != kJobSucceeded)
        return -1;
    char line[kModemLineSize];
    const ModemResponse* entry = nullptr;
    const int code = WaitForModemResponse(context, line, sizeof line, kConnectWaitMs, &entry, 1);
    if (code != kResponseConnect && code != kResponseCarrier && code != kResponseProtocol)
        return -2;
    if (ExchangeIdentificationAsCaller(context, block) != kJobSucceeded)
        return -3;
    int status;
    {
        protocol::ListFileEngine engine;
        protocol::Zmodem sender(context.link, &block.Reporter());
        sender.SetFileEngine(&engine);
        sender.SetWindowedSending(false);
        sender.SetManagementOption(protocol::kManageReplace);
        status = sender.Send(list.c_str());
    }
    HangUpAfterJob(context, block, true);
    return status;
}

void SetDate(const std::string& path, std::time_t date) {
    struct timespec times[2]{{date, 0}, {date, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

} // namespace

// A station's call breaks after report.txt was filed and part of big.dat arrived. A second
// caller names itself as that station and offers files of the same names, dates and sizes
// with ZMCLOB: what was filed stays the station's, and the station's partial copy is neither
// replaced nor completed with the impostor's bytes.
TEST_F(TransferScenario, ACallerUsingAnotherStationsNameWritesNothingOfThatStations) {
    ASSERT_EQ(receiver.status, 0);
    ASSERT_EQ(sender.status, 0);
    const std::string report = RandomBytes(3000, 41), big = RandomBytes(60000, 42);
    const std::string theirReport = RandomBytes(3000, 43), theirBig = RandomBytes(60000, 44);
    std::vector<std::string> files{temp.WriteFile("a/report.txt", report),
                                   temp.WriteFile("a/big.dat", big)};
    const std::vector<std::string> forged{temp.WriteFile("b/report.txt", theirReport),
                                          temp.WriteFile("b/big.dat", theirBig)};
    for (const std::string& path : {files[0], files[1], forged[0], forged[1]})
        SetDate(path, 1700000000);

    // The station's call breaks in the middle of big.dat, and it gives up.
    constexpr int kSubpacket = 200 + 'i';
    sender.settings.numberOfAttempts = 1;
    {
        LineRelay relay(receiverPort, CutPoint{kSubpacket, 20});
        sender.context.destinationPhone = "127.0.0.1:" + std::to_string(relay.Port());
        EXPECT_NE(Send(files), kJobSucceeded);
        for (int i = 0; i < 1200 && answerer.Calls().size() < 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string dated =
        receiver.settings.generalReceiveFolder + "/" + data::DatedFolderName(std::time(nullptr));
    const std::string station = receiver.context.receiveFolder + "/Sender Station";
    ASSERT_EQ(testsupport::TempDir::ReadFile(dated + "/report.txt"), report);
    ASSERT_TRUE(std::filesystem::exists(station + "/big.dat"));
    const std::string partial = testsupport::TempDir::ReadFile(station + "/big.dat");
    ASSERT_LT(partial.size(), big.size());

    Station impostor{23, jobtest::FreeTcpPort(), "Sender Station"};
    ASSERT_EQ(impostor.status, 0);
    EXPECT_EQ(ImpostorCall(impostor, "127.0.0.1:" + std::to_string(receiverPort),
                           forged[0] + "|" + forged[1]),
              0);
    StopAnswering(2);

    EXPECT_TRUE(testsupport::TempDir::ReadFile(dated + "/report.txt") == report)
        << "the filed file was rewritten";
    EXPECT_TRUE(testsupport::TempDir::ReadFile(station + "/big.dat") == partial)
        << "the station's partial copy was written";
    // The impostor's files arrived as files of their own, whole.
    std::vector<std::string> landed;
    for (const auto& entry : std::filesystem::directory_iterator(dated))
        landed.push_back(testsupport::TempDir::ReadFile(entry.path()));
    EXPECT_EQ(std::count(landed.begin(), landed.end(), theirReport), 1);
    EXPECT_EQ(std::count(landed.begin(), landed.end(), theirBig), 1);
    EXPECT_EQ(std::count(landed.begin(), landed.end(), big), 0);
}

// Links in the station's folder under the names of offered files are never followed, and
// never filed: the offers arrive as files of their own.
TEST_F(TransferScenario, LinksInTheStationsFolderAreNeitherFollowedNorFiled) {
    ASSERT_EQ(receiver.status, 0);
    ASSERT_EQ(sender.status, 0);
    const std::string station = receiver.context.receiveFolder + "/Sender Station";
    std::filesystem::create_directories(station);
    const std::string victim = temp.WriteFile("elsewhere/victim.txt", "not yours");
    const std::string dangling = temp / "elsewhere/created.txt";
    std::filesystem::create_symlink(victim, station + "/notes.txt");
    std::filesystem::create_symlink(dangling, station + "/new.txt");
    const std::string notes = RandomBytes(5000, 51), fresh = RandomBytes(7000, 52);
    std::vector<std::string> files{temp.WriteFile("outbox/notes.txt", notes),
                                   temp.WriteFile("outbox/new.txt", fresh)};
    EXPECT_EQ(Send(files), kJobSucceeded);
    StopAnswering(1);
    EXPECT_EQ(testsupport::TempDir::ReadFile(victim), "not yours");
    EXPECT_FALSE(std::filesystem::exists(dangling));
    const std::string dated =
        receiver.settings.generalReceiveFolder + "/" + data::DatedFolderName(std::time(nullptr));
    std::vector<std::string> landed;
    for (const auto& entry : std::filesystem::directory_iterator(dated)) {
        EXPECT_TRUE(entry.is_regular_file() && !entry.is_symlink()) << entry.path();
        landed.push_back(testsupport::TempDir::ReadFile(entry.path()));
    }
    ASSERT_EQ(landed.size(), 2u);
    EXPECT_EQ(std::count(landed.begin(), landed.end(), notes), 1);
    EXPECT_EQ(std::count(landed.begin(), landed.end(), fresh), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(station + "/notes.txt"));
}
