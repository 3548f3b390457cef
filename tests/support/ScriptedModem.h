// A scripted modem for tests: runs on its own thread on the far end of a loopback link, records
// every byte it receives with the tick count of its arrival, and answers command lines from a
// script.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LoopbackLink.h"

namespace testsupport {

struct ReceivedByte {
    unsigned char byte;
    std::uint32_t tick; // platform tick count when the modem read it
};

struct ReceivedLine {
    std::string text;      // without the CR that ended it; LF characters are left out
    std::uint32_t endTick; // when the CR arrived
};

class ScriptedModem {
  public:
    // Starts answering at once on `link`, which must outlive the modem.
    explicit ScriptedModem(LoopbackLink& link);
    ~ScriptedModem();
    ScriptedModem(const ScriptedModem&) = delete;
    ScriptedModem& operator=(const ScriptedModem&) = delete;

    // When a line equal to `line` arrives, `action` runs (if any) and then `reply` is written.
    void On(const std::string& line, const std::string& reply, std::function<void()> action = {});
    // Written for every line no rule names (nothing by default).
    void SetDefaultReply(const std::string& reply);
    // Echoes each received byte back at once, as a modem in command mode with echo on.
    void SetEcho(bool on);
    // Writes text towards the engine now.
    void Send(const std::string& text);

    std::vector<ReceivedByte> Bytes() const;
    std::string Text() const;
    std::vector<ReceivedLine> Lines() const;
    // Waits in real time until at least `count` lines (or bytes) arrived; false on time-out.
    bool WaitForLines(std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool WaitForBytes(std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  private:
    struct Rule {
        std::string reply;
        std::function<void()> action;
    };

    void Run();
    void LineEnded(std::uint32_t tick);

    LoopbackLink& m_link;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::map<std::string, Rule> m_rules;
    std::string m_defaultReply;
    std::atomic<bool> m_echo{false};
    std::atomic<bool> m_stop{false};
    std::vector<ReceivedByte> m_bytes;
    std::vector<ReceivedLine> m_lines;
    std::string m_partial;
    std::thread m_thread;
};

} // namespace testsupport
