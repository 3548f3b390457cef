#include "ui/JobEvents.h"

#include <QCoreApplication>

namespace ui {

QEvent::Type JobEvent::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void QtPostTarget::Post(platform::PostedMessage message) {
    std::lock_guard lock(m_lock);
    if (m_receiver)
        QCoreApplication::postEvent(m_receiver, new JobEvent(std::move(message)));
}

void QtPostTarget::Detach() {
    std::lock_guard lock(m_lock);
    m_receiver = nullptr;
}

} // namespace ui
