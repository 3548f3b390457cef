// The ZMODEM sender against a scripted receiver on the other end of the loopback link:
// whole transfers, skips, resumes, a ZRPOS in mid-stream, limited receiver buffers,
// windowed sending and a receiver that cancels.
#include "protocol/Zmodem.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/LocalFileEngine.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/protocol/ScriptedPeer.h"

using prototest::OnHeaderError;
using prototest::ScriptedPeer;
using namespace protocol;
using namespace protocol::zmodem;
using namespace comm;
using prototest::LinkPair;
using prototest::Pattern;
using prototest::RecordingStatus;
using testsupport::TempDir;

namespace {

struct ReceivedFile {
    std::string name;
    long size{-1};
    long date{-1};
    std::string data;
    std::vector<int> frameEnds;   // end code of the last subpacket of every data frame
    std::vector<int> dataHeaders; // positions of the ZDATA headers
    int subpackets{0};
    std::vector<int> askingAt; // where the subpackets that ask for a ZACK end
    long crcAnswer{-1};        // the sender's answer to ZCRC
};

struct ReceiverScript {
    int flags{kCanFullDuplex | kCanOverlapIo | kCanBreak | kCanFcs32};
    int bufferSize{0};
    // Bytes of a file to ask the CRC of with ZCRC before answering the offer (-1: none).
    std::function<long(const ReceivedFile&)> crcOf{[](const ReceivedFile&) { return -1L; }};
    // Where to start a file (-1: skip it).
    std::function<int(const ReceivedFile&)> startAt{[](const ReceivedFile&) { return 0; }};
    // Once, after data beyond this offset arrived, ask again from `rewindTo`.
    long interruptAfter{-1};
    int rewindTo{0};
    // Noise on the way back: the interruption's ZRPOS, or the first ZACK after it, arrives
    // with a bad CRC.
    enum Damage { kNothing, kTheRewind, kTheAckAfterIt, kNoAckAfterIt } damage{kNothing};
    // Every n-th ZACK is lost on the way back (0: none).
    int loseEveryAck{0};
    bool cancelOnData{false};
    // How long the receiver stops reading before it sends that cancel (ms, real time).
    int cancelDelayMs{0};
    // Requests not heard (no ZRINIT at the start either), as by a terminal not yet ready.
    int missedRequests{0};
    // Runs right after the ZRINIT that confirms a file (a receiver that hangs up at once).
    std::function<void()> afterConfirming;
};

// A receiver built from the frame layer alone, as a peer would behave on the line.
class ScriptedReceiver {
  public:
    ScriptedReceiver(comm::GFSerial* serial, ReceiverScript script)
        : m_z(serial, &m_status), m_script(std::move(script)) {}

    void Run() {
        unsigned char init[4]{};
        init[0] = static_cast<unsigned char>(m_script.bufferSize & 0xFF);
        init[1] = static_cast<unsigned char>(m_script.bufferSize >> 8);
        init[kZf0] = static_cast<unsigned char>(m_script.flags);
        int missed = m_script.missedRequests;
        if (missed == 0)
            m_z.SendHexHeader(kZrinit, init);
        ReceivedFile* file = nullptr;
        int position = 0;
        bool interrupted = false;
        bool ackDamaged = false;
        for (int round = 0; round < 2000 && !stop; ++round) {
            // This peer keeps listening however much stale data and silence it met: only the
            // sender under test decides when a run has failed.
            m_status.retries = 0;
            int type = m_z.ReadFrameHeader(OnHeaderError::Return);
            if (m_status.statusCode < 0)
                return;
            const unsigned char* h = m_z.ReceivedHeader();
            switch (type) {
            case kZrqinit:
                if (missed > 0)
                    --missed;
                else
                    m_z.SendHexHeader(kZrinit, init);
                break;
            case kZfile: {
                if (m_z.ReadDataSubpacket() < 0)
                    break;
                files.emplace_back();
                file = &files.back();
                const char* info = reinterpret_cast<const char*>(m_z.DataBuffer());
                file->name = info;
                std::sscanf(info + file->name.size() + 1, "%ld %lo", &file->size, &file->date);
                fileFlags.push_back({h[kZf0], h[kZf1]});
                if (const long asked = m_script.crcOf(*file); asked >= 0) {
                    SendPosition(kZcrc, static_cast<int>(asked));
                    if (m_z.ReadFrameHeader(OnHeaderError::Return) == kZcrc)
                        file->crcAnswer = static_cast<std::uint32_t>(
                            ScriptedPeer::PositionFromHeader(m_z.ReceivedHeader()));
                }
                int start = m_script.startAt(*file);
                if (start < 0) {
                    m_z.SendHexHeader(kZskip, init);
                    break;
                }
                file->data.assign(static_cast<std::size_t>(start), '?');
                position = start;
                SendPosition(kZrpos, position);
                break;
            }
            case kZdata: {
                if (!file)
                    break;
                file->dataHeaders.push_back(static_cast<int>(ScriptedPeer::PositionFromHeader(h)));
                if (ScriptedPeer::PositionFromHeader(h) != position) {
                    SendPosition(kZrpos, position);
                    break;
                }
                if (m_script.cancelOnData) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_script.cancelDelayMs));
                    std::string cancel = std::string(10, '\x18') + std::string(10, '\b');
                    m_z.WriteBufferTimed(reinterpret_cast<const unsigned char*>(cancel.data()), 20);
                    return;
                }
                for (;;) {
                    int end = m_z.ReadDataSubpacket();
                    if (end < 0) {
                        m_z.DiscardInput();
                        SendPosition(kZrpos, position);
                        break;
                    }
                    ++file->subpackets;
                    m_status.retries = 0;
                    file->data.resize(static_cast<std::size_t>(position));
                    file->data.append(reinterpret_cast<char*>(m_z.DataBuffer()),
                                      static_cast<std::size_t>(m_status.blockLength));
                    position += m_status.blockLength;
                    if (end == kZcrcq || end == kZcrcw) {
                        file->askingAt.push_back(static_cast<int>(position));
                        const bool hit = interrupted && !ackDamaged &&
                                         m_script.damage >= ReceiverScript::kTheAckAfterIt;
                        ackDamaged = ackDamaged || hit;
                        const bool lost =
                            m_script.loseEveryAck > 0 && ++acks % m_script.loseEveryAck == 0;
                        if (!lost && (!hit || m_script.damage != ReceiverScript::kNoAckAfterIt))
                            SendPosition(kZack, position, hit);
                    }
                    if (!interrupted && m_script.interruptAfter >= 0 &&
                        position > m_script.interruptAfter) {
                        interrupted = true;
                        position = m_script.rewindTo;
                        m_z.DiscardInput();
                        SendPosition(kZrpos, position,
                                     m_script.damage == ReceiverScript::kTheRewind);
                        break; // what still arrives of this frame is ignored
                    }
                    if (end == kZcrce || end == kZcrcw) {
                        file->frameEnds.push_back(end);
                        break;
                    }
                }
                break;
            }
            case kZeof:
                // A ZEOF elsewhere than the data taken asks for the position again.
                if (file && ScriptedPeer::PositionFromHeader(h) == position) {
                    m_z.SendHexHeader(kZrinit, init);
                    if (m_script.afterConfirming)
                        return m_script.afterConfirming();
                } else if (file)
                    SendPosition(kZrpos, position);
                break;
            case kZfin:
                m_z.SendHexHeader(kZfin, init);
                for (int i = 0; i < 2; ++i) {
                    int c = m_z.ReadTimed(2000);
                    if (c >= 0)
                        overAndOut += static_cast<char>(c);
                }
                finished = true;
                return;
            default:
                break;
            }
        }
    }

    std::vector<ReceivedFile> files;
    int acks{0};
    std::vector<std::pair<int, int>> fileFlags;
    std::string overAndOut;
    bool finished{false};
    std::atomic<bool> stop{false};

  private:
    void SendPosition(int type, int position, bool damaged = false) {
        unsigned char h[4];
        ScriptedPeer::PositionToHeader(position, h);
        if (!damaged) {
            m_z.SendHexHeader(type, h);
            return;
        }
        // A hex header whose check does not match: one bit of its position flipped.
        char line[32];
        int n = std::snprintf(line, sizeof line,
                              "**\x18"
                              "B%02x%02x%02x%02x%02x0000\r\n",
                              type, h[0] ^ 1, h[1], h[2], h[3]);
        m_z.WriteBufferTimed(reinterpret_cast<const unsigned char*>(line), n);
    }

    RecordingStatus m_status;
    ScriptedPeer m_z;
    ReceiverScript m_script;
};

struct SenderFixture : testing::Test {
    SenderFixture() : sender(wire.nearSerial.get(), &status) {
        sender.SetFileEngine(&engine);
        sender.SetWindowedSending(false);
    }

    // Runs the sender on this thread and the receiver on another.
    int Transfer(const std::string& list, ReceiverScript script = {}) {
        receiver = std::make_unique<ScriptedReceiver>(wire.farSerial.get(), std::move(script));
        std::thread peer([this] { receiver->Run(); });
        int result = sender.Send(list.c_str());
        receiver->stop = true;
        peer.join();
        return result;
    }

    platform::ScopedTimeAcceleration fast{20.0};
    TempDir dir;
    LinkPair wire;
    RecordingStatus status;
    LocalFileEngine engine;
    Zmodem sender;
    std::unique_ptr<ScriptedReceiver> receiver;
};

} // namespace

using ZmodemSenderRun = SenderFixture;

TEST_F(ZmodemSenderRun, StreamsEveryListedFile) {
    std::string a = Pattern(5000, 1), b = Pattern(1024, 2);
    std::string pathA = dir.WriteFile("a.bin", a);
    dir.WriteFile("b.bin", b);
    dir.WriteFile("empty.txt", "");
    ASSERT_EQ(Transfer(pathA + " " + dir / "b.bin" + ";" + dir / "empty.txt"), 0);
    ASSERT_TRUE(receiver->finished);
    ASSERT_EQ(receiver->files.size(), 3u);
    EXPECT_EQ(receiver->files[0].name, "a.bin"); // sent without its folder
    EXPECT_EQ(receiver->files[0].size, 5000);
    EXPECT_EQ(receiver->files[0].data, a);
    EXPECT_EQ(receiver->files[1].data, b);
    EXPECT_EQ(receiver->files[2].data, "");
    EXPECT_EQ(receiver->files[2].size, 0);
    // One frame per file, closed with ZCRCE (the ZEOF is what gets answered); the empty
    // file gets one empty frame before its ZEOF.
    EXPECT_EQ(receiver->files[0].frameEnds, std::vector<int>{kZcrce});
    EXPECT_EQ(receiver->files[0].subpackets, 5);
    EXPECT_EQ(receiver->files[2].dataHeaders, std::vector<int>{0});
    EXPECT_EQ(receiver->files[2].frameEnds, std::vector<int>{kZcrce});
    EXPECT_EQ(receiver->overAndOut, "OO");
    EXPECT_EQ(status.filesDone, 3);
    EXPECT_EQ(status.checkType, kCheckCrc32);
    EXPECT_EQ(receiver->fileFlags[0], std::make_pair(0, 0));
    EXPECT_TRUE(status.Traced("OpenLink: Got ZRINIT"));
    EXPECT_TRUE(status.Traced("Sending with CRC-32"));
}

TEST_F(ZmodemSenderRun, FileInformationCarriesSizeAndOctalDate) {
    std::string path = dir.WriteFile("dated.txt", "hello");
    engine.SetDateFields(2001, 2, 3, 4, 5, 6);
    int seconds = engine.DateAsSeconds();
    ASSERT_EQ(engine.Open(path, "ab"), 0);
    engine.SetDateFromSeconds(seconds);
    ASSERT_EQ(engine.ApplyDate(), 0);
    ASSERT_EQ(engine.Close(), 0);
    sender.SetManagementOption(5);
    sender.SetRequestResume(true);
    ASSERT_EQ(Transfer(path), 0);
    ASSERT_EQ(receiver->files.size(), 1u);
    EXPECT_EQ(receiver->files[0].date, seconds);
    EXPECT_EQ(receiver->fileFlags[0], std::make_pair(3, 5));
}

TEST_F(ZmodemSenderRun, EverySkippedMeansNoFilesSent) {
    dir.WriteFile("x.txt", "x");
    ReceiverScript script;
    script.startAt = [](const ReceivedFile&) { return -1; };
    EXPECT_EQ(Transfer(dir / "x.txt", script), kNoFilesSent);
    EXPECT_TRUE(receiver->finished);
    EXPECT_TRUE(status.Traced("SendFile: received a ZSKIP frame"));
}

TEST_F(ZmodemSenderRun, AnswersZcrcWithTheCrcOfTheFirstBytesThenSendsFromTheAskedPlace) {
    const std::string data = Pattern(5000, 8);
    const std::string list = dir.WriteFile("c.bin", data) + " " + dir.WriteFile("d.bin", data);
    ReceiverScript script;
    // 2000 bytes of the first file; 0 asks for the whole of the second.
    script.crcOf = [](const ReceivedFile& f) { return f.name == "c.bin" ? 2000L : 0L; };
    script.startAt = [](const ReceivedFile& f) { return f.name == "c.bin" ? 2000 : 0; };
    ASSERT_EQ(Transfer(list, script), 0);
    ASSERT_EQ(receiver->files.size(), 2u);
    const Crc32 crc;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    EXPECT_EQ(receiver->files[0].crcAnswer, ~crc.Update(bytes, 2000, Crc32::kSeed));
    EXPECT_EQ(receiver->files[1].crcAnswer, ~crc.Update(bytes, 5000, Crc32::kSeed));
    // Reading the file for the answer does not move where its data starts.
    EXPECT_EQ(receiver->files[0].data.substr(2000), data.substr(2000));
    EXPECT_EQ(receiver->files[1].data, data);
    EXPECT_EQ(status.filesDone, 2);
    EXPECT_EQ(status.errors, 0);
}

TEST_F(ZmodemSenderRun, AReceiverAskingForDataBeyondTheEndFailsTheFile) {
    dir.WriteFile("short.bin", Pattern(1000, 9));
    ReceiverScript script;
    script.startAt = [](const ReceivedFile&) { return 5000; };
    EXPECT_EQ(Transfer(dir / "short.bin", script), kTransferError);
    EXPECT_EQ(status.filesDone, 0);
    EXPECT_TRUE(status.Traced("SendFile: ZRPOS 5000 beyond the end of " + dir / "short.bin"));
}

TEST_F(ZmodemSenderRun, ResumesFromTheReceiversOffsetAndSendsNothingForAComplete) {
    std::string data = Pattern(3000, 3);
    dir.WriteFile("r.bin", data);
    dir.WriteFile("done.bin", data);
    ReceiverScript script;
    script.startAt = [](const ReceivedFile& f) { return f.name == "r.bin" ? 1000 : 3000; };
    ASSERT_EQ(Transfer(dir / "r.bin" + " " + dir / "done.bin", script), 0);
    ASSERT_EQ(receiver->files.size(), 2u);
    EXPECT_EQ(receiver->files[0].data.substr(1000), data.substr(1000));
    EXPECT_EQ(receiver->files[0].dataHeaders, std::vector<int>{1000});
    // A complete file gets no data, only the empty frame and its ZEOF.
    EXPECT_EQ(receiver->files[1].dataHeaders, std::vector<int>{3000});
    EXPECT_EQ(receiver->files[1].subpackets, 1);
    EXPECT_EQ(status.filesDone, 2);
}

TEST_F(ZmodemSenderRun, ZrposInMidStreamRestartsAtTheAskedOffset) {
    std::string data = Pattern(200000, 4);
    dir.WriteFile("big.bin", data);
    ReceiverScript script;
    script.interruptAfter = 20000;
    script.rewindTo = 4096;
    ASSERT_EQ(Transfer(dir / "big.bin", script), 0);
    ASSERT_EQ(receiver->files.size(), 1u);
    const ReceivedFile& f = receiver->files[0];
    EXPECT_EQ(f.data, data);
    // First frame, then the restart frame (one subpacket with ZCRCW), then streaming from
    // after it.
    ASSERT_GE(f.dataHeaders.size(), 3u);
    EXPECT_EQ(f.dataHeaders[0], 0);
    EXPECT_EQ(f.dataHeaders[1], 4096);
    EXPECT_EQ(f.dataHeaders[2], 5120);
    EXPECT_TRUE(status.Traced("SendFileData: ZRPOS location 4096"));
}

// A damaged header from the receiver during the data means it asked for something: the
// sender goes on with the data at once, and the receiver asks again, rather than both
// waiting out their time-outs. A restart whose confirmation is lost goes out again.
TEST_F(ZmodemSenderRun, ADamagedRewindOrALostAckGoesOnWithoutWaitingOutTheTimeOut) {
    // Seconds of silence matter here: a gentle speed-up, so that a loaded machine's pauses
    // do not pass for them.
    platform::ScopedTimeAcceleration gentle(4.0);
    for (auto damage : {ReceiverScript::kTheRewind, ReceiverScript::kTheAckAfterIt,
                        ReceiverScript::kNoAckAfterIt}) {
        std::string data = Pattern(60000, 5);
        const std::string path = dir.WriteFile("big.bin", data);
        ReceiverScript script;
        script.interruptAfter = 20000;
        script.rewindTo = 4096;
        script.damage = damage;
        const std::uint32_t start = platform::GetTickCount();
        ASSERT_EQ(Transfer(path, script), 0) << damage;
        EXPECT_LT(platform::GetTickCount() - start, 5000u) << damage;
        ASSERT_EQ(receiver->files.size(), 1u);
        EXPECT_EQ(receiver->files[0].data, data) << damage;
    }
}

TEST_F(ZmodemSenderRun, LimitedReceiverBufferEndsEveryFrameAfterTwoSubpackets) {
    std::string data = Pattern(5000, 5);
    dir.WriteFile("f.bin", data);
    ReceiverScript script;
    script.bufferSize = 2048;
    ASSERT_EQ(Transfer(dir / "f.bin", script), 0);
    const ReceivedFile& f = receiver->files.at(0);
    EXPECT_EQ(f.data, data);
    EXPECT_EQ(f.dataHeaders, (std::vector<int>{0, 2048, 4096}));
    EXPECT_EQ(f.frameEnds, (std::vector<int>{kZcrcw, kZcrcw, kZcrce}));
}

TEST_F(ZmodemSenderRun, ReceiverWithoutOverlappedIoGetsZcrcwAfterEverySubpacket) {
    std::string data = Pattern(3000, 6);
    dir.WriteFile("f.bin", data);
    ReceiverScript script;
    script.flags = kCanFullDuplex; // CRC-16 as well
    ASSERT_EQ(Transfer(dir / "f.bin", script), 0);
    const ReceivedFile& f = receiver->files.at(0);
    EXPECT_EQ(f.data, data);
    EXPECT_EQ(f.dataHeaders, (std::vector<int>{0, 1024, 2048}));
    EXPECT_EQ(status.checkType, kCheckCrc16);
}

TEST_F(ZmodemSenderRun, WindowedSendingAsksForAcknowledgements) {
    std::string data = Pattern(20000, 7);
    dir.WriteFile("w.bin", data);
    sender.SetWindowedSending(true);
    ASSERT_EQ(Transfer(dir / "w.bin"), 0);
    const ReceivedFile& f = receiver->files.at(0);
    EXPECT_EQ(f.data, data);
    EXPECT_EQ(f.subpackets, 20);
}

TEST_F(ZmodemSenderRun, LostAcknowledgementsAreCoveredByTheNextOne) {
    // A ZACK confirms everything up to its position: one lost on the way back is made good
    // by the next, and the window never stalls waiting for it. (The files are sized so that
    // the ZACK of each file's last subpacket gets through.)
    platform::ScopedTimeAcceleration gentle(4.0);
    for (int files : {1, 2}) {
        std::string a = Pattern(19000, 7), b = Pattern(10000, 8);
        const std::string list =
            dir.WriteFile("w.bin", a) + (files == 2 ? " " + dir.WriteFile("v.bin", b) : "");
        sender.SetWindowedSending(true);
        ReceiverScript script;
        script.loseEveryAck = 2;
        const std::uint32_t start = platform::GetTickCount();
        ASSERT_EQ(Transfer(list, script), 0) << files;
        EXPECT_LT(platform::GetTickCount() - start, 5000u) << files;
        ASSERT_EQ(receiver->files.size(), static_cast<std::size_t>(files));
        EXPECT_EQ(receiver->files[0].data, a);
        if (files == 2) {
            EXPECT_EQ(receiver->files[1].data, b);
        }
    }
}

TEST_F(ZmodemSenderRun, AnAdaptiveSenderBoundsItsWindowOnlyAfterAnError) {
    std::string clean = Pattern(30000, 3), noisy = Pattern(60000, 4);
    dir.WriteFile("clean.bin", clean);
    dir.WriteFile("noisy.bin", noisy);
    sender.SetAdaptiveWindow(true);
    ASSERT_EQ(Transfer(dir / "clean.bin"), 0);
    EXPECT_EQ(receiver->files.at(0).data, clean);
    EXPECT_TRUE(receiver->files[0].askingAt.empty()); // a clean line streams throughout

    ReceiverScript script;
    script.interruptAfter = 20000;
    script.rewindTo = 4096;
    ASSERT_EQ(Transfer(dir / "noisy.bin", script), 0);
    const ReceivedFile& f = receiver->files.at(0);
    EXPECT_EQ(f.data, noisy);
    // After the ZRPOS: the ZCRCW that confirms the restart, then subpackets that each ask for
    // a ZACK, so that the next error costs no more than the window. (How soon the window
    // widens again depends on the timing of this machine's acknowledgements.)
    ASSERT_GE(f.askingAt.size(), 5u);
    EXPECT_EQ(f.askingAt[0], 4096 + 1024);
    for (std::size_t i = 1; i < f.askingAt.size(); ++i)
        EXPECT_LE(f.askingAt[i] - f.askingAt[i - 1], 1024) << i;
}

// The receiver confirms the file and its carrier drops before the sender has read the ZRINIT:
// what arrived is read first, so the file counts as sent and the goodbye's lost line as no
// failure.
TEST_F(ZmodemSenderRun, ACarrierLostRightAfterTheConfirmationLosesNothing) {
    sender.SetCarrierWatch(1);
    ReceiverScript script;
    script.afterConfirming = [this] { wire.nearLink->SetModemLine(kLineDcd, false); };
    EXPECT_EQ(Transfer(dir.WriteFile("a.bin", Pattern(3000, 1)), script), 0);
    EXPECT_EQ(status.filesDone, 1);
    EXPECT_EQ(receiver->files.size(), 1u);
}

TEST_F(ZmodemSenderRun, ReceiverCancelEndsTheRunWithoutACancelBack) {
    dir.WriteFile("c.bin", Pattern(100000, 8));
    ReceiverScript script;
    script.cancelOnData = true;
    EXPECT_EQ(Transfer(dir / "c.bin", script), kRemoteCancelled);
    EXPECT_FALSE(receiver->finished);
}

TEST_F(ZmodemSenderRun, ACancelIsHeardWhileTheOutputCannotDrain) {
    // The receiver stops reading, the line fills, and only then does its cancel come.
    dir.WriteFile("c.bin", Pattern(100000, 8));
    wire.nearLink->SetTransmitRoom(4096);
    ReceiverScript script;
    script.cancelOnData = true;
    script.cancelDelayMs = 200;
    const std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(Transfer(dir / "c.bin", script), kRemoteCancelled);
    EXPECT_LT(platform::GetTickCount() - start, 30000u); // well inside the write time-out
}

TEST_F(ZmodemSenderRun, ZrqinitIsRepeatedUntilTheReceiverAnswers) {
    platform::ScopedTimeAcceleration faster(100.0);
    dir.WriteFile("late.bin", Pattern(3000, 9));
    ReceiverScript script;
    script.missedRequests = 2;
    EXPECT_EQ(Transfer(dir / "late.bin", script), 0);
    ASSERT_EQ(receiver->files.size(), 1u);
    EXPECT_EQ(receiver->files[0].data, Pattern(3000, 9));
}

TEST_F(ZmodemSenderRun, NoReceiverGivesUpAtTheRetryLimit) {
    platform::ScopedTimeAcceleration faster(1000.0);
    dir.WriteFile("n.bin", "n");
    EXPECT_EQ(sender.Send((dir / "n.bin").c_str()), kTooManyErrors);
    EXPECT_EQ(status.CountOf("GetPad: timeout on ZPAD"), 10);
}

TEST_F(ZmodemSenderRun, AStreamAsksWhetherToStopOncePerSubpacketAndReportsEachFileWhole) {
    const int subpackets = 300;
    std::string data = Pattern(subpackets * 1024, 7), small = Pattern(1500, 8);
    const std::string big = dir.WriteFile("big.bin", data), next = dir.WriteFile("s.bin", small);
    ASSERT_EQ(Transfer(big + ";" + next), 0);
    ASSERT_EQ(receiver->files.size(), 2u);
    EXPECT_EQ(receiver->files[0].data, data);
    // Waiting for the receiver asks too; the stream itself asks once per subpacket.
    EXPECT_LT(status.abortQuestions, subpackets + subpackets / 2);
    // The last report of each file shows all of it, however soon the receiver answered.
    EXPECT_EQ(status.lastReported[big], subpackets * 1024);
    EXPECT_EQ(status.lastReported[next], 1500);
}
