// Shared pieces of the protocol tests: a status record that keeps its trace lines, a link
// pair with a GFSerial on each end, and a link wrapper that counts calls into the link.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "comm/GFSerial.h"
#include "comm/StatusCodes.h"
#include "protocol/TransferStatus.h"
#include "protocol/ZmodemJob.h"
#include "tests/support/LoopbackLink.h"

namespace prototest {

// Receives into `folder` with the job's receiver, every file opened inside it and never
// through a link, with what `policy` lets an offer do to the files there; kFileOpenError when
// the folder cannot be opened.
inline int RunReceivingZmodem(comm::GFSerial* serial, protocol::TransferStatus* status,
                              const std::string& folder,
                              const protocol::ArrivalPolicy& policy = protocol::ArrivalPolicy{}) {
    protocol::ZmodemJob<protocol::ReceivingZmodem> job =
        protocol::MakeReceivingZmodem(serial, status);
    if (!job.engine->SetFolder(folder))
        return comm::kFileOpenError;
    job.transfer->SetArrivalPolicy(policy);
    return job.transfer->Receive();
}

class RecordingStatus : public protocol::TransferStatus {
  public:
    void TraceLine(const char* text) override { traces.emplace_back(text); }
    bool WantsTraceLines() const override { return true; }
    int AbortRequested() override {
        ++abortQuestions;
        return abortAnswer;
    }
    // What the owner of the record saw last.
    int Progress(int code) override {
        progressFilesDone = filesDone;
        progressName = fileName;
        lastReported[fileName] = static_cast<int>(position);
        return code;
    }
    bool Traced(const std::string& text) const {
        return std::find(traces.begin(), traces.end(), text) != traces.end();
    }
    long CountOf(const std::string& text) const {
        return std::count(traces.begin(), traces.end(), text);
    }

    std::vector<std::string> traces;
    std::atomic<int> abortAnswer{0};
    int abortQuestions{0};
    int progressFilesDone{-1};
    std::string progressName;
    std::map<std::string, int> lastReported; // the last position reported for each name
};

// Reproducible file contents.
inline std::string Pattern(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

// Stops both ends if a run takes longer than `limit` (real time), so that a hang shows as a
// failed test rather than a hung one.
class Watchdog {
  public:
    Watchdog(RecordingStatus& a, RecordingStatus& b, std::chrono::seconds limit)
        : m_thread{[this, &a, &b, limit] {
              std::unique_lock lock(m_mutex);
              if (!m_done.wait_for(lock, limit, [this] { return m_finished; })) {
                  fired = true;
                  a.abortAnswer = comm::kUserCancelled;
                  b.abortAnswer = comm::kUserCancelled;
              }
          }} {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    std::atomic<bool> fired{false};

  private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished{false};
    std::thread m_thread;
};

// Forwards every call to another link and counts the reads.
class CountingLink : public comm::ComLink {
  public:
    explicit CountingLink(comm::ComLink* inner) : ComLink(inner->PortNumber()), m_inner{inner} {}

    int Idle() override { return m_inner->Idle(); }
    int ReadModemStatus() override { return m_inner->ReadModemStatus(); }
    int Open() override { return m_inner->Open(); }
    int OpenDevice() override { return m_inner->OpenDevice(); }
    int Close() override { return m_inner->Close(); }
    int SetBufferSizes(long r, long x, long t) override { return m_inner->SetBufferSizes(r, x, t); }
    int SetBreak(int state) override { return m_inner->SetBreak(state); }
    int Line(int number, int value) override { return m_inner->Line(number, value); }
    int WriteString(const char* text) override { return m_inner->WriteString(text); }
    int SendImmediate(int c) override { return m_inner->SendImmediate(c); }
    int GetQueueStatus(comm::QueueStatus& s) override {
        ++queueQueries;
        return m_inner->GetQueueStatus(s);
    }
    int SetHandshake(int i, int o) override { return m_inner->SetHandshake(i, o); }
    int GetHandshake(int& i, int& o) override { return m_inner->GetHandshake(i, o); }
    int SetLineParams(long b, char p, int d, int s) override {
        return m_inner->SetLineParams(b, p, d, s);
    }
    int GetLineParams(long& b, char& p, int& d, int& s) override {
        return m_inner->GetLineParams(b, p, d, s);
    }
    int GetLineStates(unsigned char states[4]) override { return m_inner->GetLineStates(states); }
    int WriteChar(int c) override { return m_inner->WriteChar(c); }
    int WriteBuffer(const unsigned char* d, int n) override { return m_inner->WriteBuffer(d, n); }
    int ReadChar() override {
        ++charReads;
        return m_inner->ReadChar();
    }
    int ReadBuffer(unsigned char* b, int n) override {
        ++bufferReads;
        return m_inner->ReadBuffer(b, n);
    }
    int Purge(int direction, int count) override { return m_inner->Purge(direction, count); }

    long queueQueries{0};
    long charReads{0};
    long bufferReads{0};

  private:
    comm::ComLink* m_inner;
};

// Two link ends with a GFSerial over each: `near` is the side under test, `far` the peer.
struct LinkPair {
    LinkPair() {
        auto pair = testsupport::MakeLoopbackPair();
        nearLink = std::move(pair.first);
        farLink = std::move(pair.second);
        nearSerial = std::make_unique<comm::GFSerial>(nearLink.get());
        farSerial = std::make_unique<comm::GFSerial>(farLink.get());
    }

    // Everything the near end has written so far, as the far end reads it.
    std::string TakeFarInput() {
        std::string bytes;
        unsigned char buffer[4096];
        int n;
        while ((n = farLink->ReadBuffer(buffer, sizeof buffer)) > 0)
            bytes.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
        return bytes;
    }
    // Bytes the far end sends to the near end.
    void FeedNear(const std::string& bytes) {
        farLink->WriteBuffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size()));
    }

    std::unique_ptr<testsupport::LoopbackLink> nearLink, farLink;
    std::unique_ptr<comm::GFSerial> nearSerial, farSerial;
};

} // namespace prototest
