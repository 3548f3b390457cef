// What the window tests share: an event loop that runs until a condition holds, and a
// recorder for the messages and questions the windows put to the user.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

#include "data/UserMessages.h"

#include <QString>

#include <ostream>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace uitest {

// Runs the event loop until `done` holds or `realMs` have passed; whether it held.
inline bool RunUntil(const std::function<bool()>& done, int realMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > realMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Answers the data layer's questions with `answer` and remembers every message.
struct MessageRecorder {
    explicit MessageRecorder(data::MessageAnswer answer = data::MessageAnswer::Yes)
        : answer{answer} {
        previous = data::SetMessageHook([this](data::MessageKind, int id, const std::string&) {
            ids.push_back(id);
            return this->answer;
        });
    }
    ~MessageRecorder() { data::SetMessageHook(previous); }
    data::MessageAnswer answer;
    std::vector<int> ids;
    data::MessageHook previous;
};

} // namespace uitest
