// Posted window messages: a window is a target that any thread may post (message, first,
// second) to without blocking; the target handles them on its own thread, in the order each
// posting thread sent them. A payload travels with its message and is freed with it, so
// nothing leaks when the window is already gone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

inline constexpr unsigned kWmUser = 0x0400;

// Base of the records that travel with a message (a progress record, for instance).
struct MessagePayload {
    virtual ~MessagePayload() = default;
};

struct PostedMessage {
    unsigned id{0};
    std::intptr_t first{0};
    std::intptr_t second{0};
    std::unique_ptr<MessagePayload> payload;
};

class PostTarget {
  public:
    virtual ~PostTarget() = default;
    // Must not block; called from any thread.
    virtual void Post(PostedMessage message) = 0;
};

// What a worker holds: a window that may disappear before the worker is done.
using WindowHandle = std::weak_ptr<PostTarget>;

// Posts to the window if it still exists; otherwise the message and its payload are dropped.
// Returns whether the message was delivered to a target.
bool PostMessage(const WindowHandle& window, unsigned id, std::intptr_t first, std::intptr_t second,
                 std::unique_ptr<MessagePayload> payload = nullptr);

// A target that queues messages for a thread that takes them out itself (tests, the
// command-line front end).
class MessageQueue : public PostTarget {
  public:
    void Post(PostedMessage message) override;
    // The next message, or nothing when none arrives within timeoutMs (real milliseconds).
    std::optional<PostedMessage> Wait(int timeoutMs);
    std::optional<PostedMessage> TryTake();
    std::size_t Size() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<PostedMessage> m_queue;
};

} // namespace platform
