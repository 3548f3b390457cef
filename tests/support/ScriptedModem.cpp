// The scripted modem's thread: read what arrived, stamp it, echo it if asked, answer complete
// lines. Rules run outside the lock so an action may touch the link pair freely.
#include "tests/support/ScriptedModem.h"

#include "platform/Clock.h"

namespace testsupport {

ScriptedModem::ScriptedModem(LoopbackLink& link) : m_link{link} {
    m_thread = std::thread([this] { Run(); });
}

ScriptedModem::~ScriptedModem() {
    m_stop = true;
    m_thread.join();
}

void ScriptedModem::On(const std::string& line, const std::string& reply,
                       std::function<void()> action) {
    std::lock_guard lock(m_mutex);
    m_rules[line] = Rule{reply, std::move(action)};
}

void ScriptedModem::SetDefaultReply(const std::string& reply) {
    std::lock_guard lock(m_mutex);
    m_defaultReply = reply;
}

void ScriptedModem::SetEcho(bool on) {
    m_echo = on;
}

void ScriptedModem::Send(const std::string& text) {
    m_link.WriteBuffer(reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int>(text.size()));
}

std::vector<ReceivedByte> ScriptedModem::Bytes() const {
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

std::string ScriptedModem::Text() const {
    std::lock_guard lock(m_mutex);
    std::string text;
    for (const ReceivedByte& b : m_bytes)
        text += static_cast<char>(b.byte);
    return text;
}

std::vector<ReceivedLine> ScriptedModem::Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

bool ScriptedModem::WaitForLines(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_mutex);
    return m_arrived.wait_for(lock, limit, [&] { return m_lines.size() >= count; });
}

bool ScriptedModem::WaitForBytes(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_mutex);
    return m_arrived.wait_for(lock, limit, [&] { return m_bytes.size() >= count; });
}

void ScriptedModem::Run() {
    while (!m_stop) {
        unsigned char chunk[64];
        int got = m_link.ReadBuffer(chunk, sizeof chunk);
        if (got <= 0) {
            m_link.Idle();
            continue;
        }
        std::uint32_t tick = platform::GetTickCount();
        {
            // Recorded before the echo goes back, so whoever sees the echo finds it recorded.
            std::lock_guard lock(m_mutex);
            for (int i = 0; i < got; ++i)
                m_bytes.push_back({chunk[i], tick});
        }
        m_arrived.notify_all();
        if (m_echo)
            m_link.WriteBuffer(chunk, got);
        for (int i = 0; i < got; ++i) {
            if (chunk[i] == '\r') {
                LineEnded(tick);
            } else if (chunk[i] != '\n') {
                std::lock_guard lock(m_mutex);
                m_partial += static_cast<char>(chunk[i]);
            }
        }
    }
}

void ScriptedModem::LineEnded(std::uint32_t tick) {
    std::string reply;
    std::function<void()> action;
    {
        std::lock_guard lock(m_mutex);
        m_lines.push_back({m_partial, tick});
        auto rule = m_rules.find(m_partial);
        if (rule != m_rules.end()) {
            reply = rule->second.reply;
            action = rule->second.action;
        } else {
            reply = m_defaultReply;
        }
        m_partial.clear();
    }
    if (action)
        action();
    if (!reply.empty())
        Send(reply);
    m_arrived.notify_all();
}

} // namespace testsupport
