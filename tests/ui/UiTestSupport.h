// What the window tests share: an event loop that runs until a condition holds, and a
// recorder for the messages and questions the windows put to the user.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTabBar>
#include <QWidget>

#include <cstdlib>

#include "data/UserMessages.h"
#include "ui/Help.h"

#include <QString>

#include <ostream>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace uitest {

// A TCP port on 127.0.0.1 that nothing listens on just now.
inline int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

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
        previous = data::SetMessageHook([this](data::MessageKind, int id, const std::string& text) {
            ids.push_back(id);
            texts.push_back(text);
            return this->answer;
        });
    }
    ~MessageRecorder() { data::SetMessageHook(previous); }
    data::MessageAnswer answer;
    std::vector<int> ids;
    std::vector<std::string> texts;
    data::MessageHook previous;
};

// Watches for modal windows while it lives: each one is handed to `handle`, which records
// and closes it (a message box is closed with its default button when `handle` is empty).
class ModalWatcher {
  public:
    explicit ModalWatcher(std::function<void(QWidget*)> handle = {}) : m_handle{std::move(handle)} {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Look(); });
        m_timer.start(20);
    }
    struct Seen {
        QString className;
        QString text;
        int icon{0};
    };
    std::vector<Seen> seen;

  private:
    void Look() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == m_last)
            return;
        m_last = modal;
        Seen item{QString::fromLatin1(modal->metaObject()->className()), {}, 0};
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            item.text = box->text();
            item.icon = box->icon();
        }
        seen.push_back(item);
        if (m_handle) {
            m_handle(modal);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
        }
    }

    std::function<void(QWidget*)> m_handle;
    QTimer m_timer;
    // Cleared when that window goes away, so a new one at the same address counts as new.
    QPointer<QWidget> m_last;
};

// The controls of `window` that carry a help number but got no help text: a topic the help
// book lacks. OK and Cancel have topics only in some windows. Empty when every one is explained.
inline QStringList ControlsWithoutHelp(QWidget* window) {
    QStringList missing;
    int helped = 0;
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (ui::HelpIdOf(control) <= 2)
            continue;
        ++helped;
        if (control->whatsThis().isEmpty())
            missing << QStringLiteral("%1 (%2)")
                           .arg(ui::HelpIdOf(control))
                           .arg(QString::fromLatin1(control->metaObject()->className()));
    }
    if (!helped)
        missing << QStringLiteral("no control has a help number");
    return missing;
}

// Plain-text labels of `window` that would show a shortcut "&" as it is, having no control to
// lead to.
inline QStringList LabelsShowingAmpersand(QWidget* window) {
    QStringList shown;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        const QString text = label->text();
        if (label->buddy() || Qt::mightBeRichText(text))
            continue;
        QString plain = text;
        if (plain.remove(QStringLiteral("&&")).contains(QLatin1Char('&')))
            shown << text;
    }
    return shown;
}

// The Alt+letter keys that lead to more than one control of `window` as it shows now (buttons,
// labels with a buddy, group boxes, tabs and the menu bar), each as "f: &Folders | &Files...".
inline QStringList MnemonicClashes(QWidget* window) {
    std::map<QChar, QStringList> owners;
    auto note = [&](const QString& text) {
        for (int i = 0; i + 1 < text.size(); ++i) {
            if (text[i] != QLatin1Char('&'))
                continue;
            if (text[i + 1] != QLatin1Char('&')) {
                owners[text[i + 1].toLower()] << text;
                return;
            }
            ++i;
        }
    };
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window))
            continue;
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            note(button->text());
        else if (auto* label = qobject_cast<QLabel*>(w); label && label->buddy())
            note(label->text());
        else if (auto* group = qobject_cast<QGroupBox*>(w))
            note(group->title());
        else if (auto* tabs = qobject_cast<QTabBar*>(w))
            for (int i = 0; i < tabs->count(); ++i)
                note(tabs->tabText(i));
        else if (auto* bar = qobject_cast<QMenuBar*>(w))
            for (QAction* action : bar->actions())
                note(action->text());
    }
    QStringList clashes;
    for (const auto& [key, texts] : owners)
        if (texts.size() > 1)
            clashes << QString(key) + QStringLiteral(": ") + texts.join(QStringLiteral(" | "));
    return clashes;
}

// With SENDARI_SCREENSHOTS set to a folder, saves a picture of `window` there.
inline void Screenshot(QWidget* window, const QString& name) {
    const char* folder = std::getenv("SENDARI_SCREENSHOTS");
    if (!folder || !*folder || !window)
        return;
    QDir().mkpath(QString::fromLocal8Bit(folder));
    window->grab().save(QString::fromLocal8Bit(folder) + QLatin1Char('/') + name + ".png");
}

// The same for the whole screen (a tray and its notifications are no window of ours).
inline void ScreenScreenshot(const QString& name) {
    const char* folder = std::getenv("SENDARI_SCREENSHOTS");
    if (!folder || !*folder || !QGuiApplication::primaryScreen())
        return;
    QDir().mkpath(QString::fromLocal8Bit(folder));
    QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(folder) +
                                                         QLatin1Char('/') + name + ".png");
}

} // namespace uitest
