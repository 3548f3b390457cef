// Job messages as posted Qt events: a worker posts through a QtPostTarget, and the window gets
// a JobEvent on its own thread, in the order the worker posted. An event Qt never delivers
// (its window went away) is deleted by Qt with its payload.
#pragma once

#include <QEvent>
#include <QObject>

#include <memory>
#include <mutex>

#include "platform/PostedMessages.h"

namespace ui {

class JobEvent : public QEvent {
  public:
    explicit JobEvent(platform::PostedMessage message)
        : QEvent(EventType()), m_message{std::move(message)} {}
    static QEvent::Type EventType();
    const platform::PostedMessage& Message() const { return m_message; }

  private:
    platform::PostedMessage m_message;
};

class QtPostTarget : public platform::PostTarget {
  public:
    explicit QtPostTarget(QObject* receiver) : m_receiver{receiver} {}
    // Any thread.
    void Post(platform::PostedMessage message) override;
    // Called by the window before it goes away: later posts are dropped.
    void Detach();

  private:
    std::mutex m_lock;
    QObject* m_receiver;
};

} // namespace ui
