// Posting and the queue-backed target.
#include "platform/PostedMessages.h"

#include <chrono>

namespace platform {

bool PostMessage(const WindowHandle& window, unsigned id, std::intptr_t first, std::intptr_t second,
                 std::unique_ptr<MessagePayload> payload) {
    std::shared_ptr<PostTarget> target = window.lock();
    if (!target)
        return false;
    PostedMessage message;
    message.id = id;
    message.first = first;
    message.second = second;
    message.payload = std::move(payload);
    target->Post(std::move(message));
    return true;
}

void MessageQueue::Post(PostedMessage message) {
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(message));
    }
    m_arrived.notify_one();
}

std::optional<PostedMessage> MessageQueue::Wait(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    if (!m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !m_queue.empty(); }))
        return std::nullopt;
    PostedMessage message = std::move(m_queue.front());
    m_queue.pop_front();
    return message;
}

std::optional<PostedMessage> MessageQueue::TryTake() {
    return Wait(0);
}

std::size_t MessageQueue::Size() const {
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

} // namespace platform
