// The tray icon while Receive Files waits for calls: its tooltip says what the station is
// doing, its menu shows the window, opens the receive folder or quits the waiting, and a call
// that brought files is announced as a desktop notification (a click opens the folder).
#pragma once

#include <QObject>

#include <functional>
#include <memory>

#include "jobs/ArrivalNotice.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace ui {

class ReceiveTray : public QObject {
    Q_OBJECT
  public:
    struct Actions {
        std::function<void()> show;
        std::function<void()> openFolder;
        std::function<void()> quit;
    };

    // A tray icon, or none when the desktop has no tray.
    static std::unique_ptr<ReceiveTray> Create(Actions actions, QObject* parent = nullptr);
    ~ReceiveTray() override;

    void SetStatus(const QString& status);
    void Announce(const jobs::ArrivalNotice& notice);
    // Said once, the first time the window goes to the tray.
    void SayStillWaiting();

    QSystemTrayIcon* Icon() const { return m_icon; }
    QMenu* Menu() const { return m_menu.get(); }
    QAction* QuitAction() const { return m_quit; }
    QAction* ShowAction() const { return m_show; }
    // The last notification shown, for tests and screenshots.
    const QString& LastTitle() const { return m_lastTitle; }
    const QString& LastBody() const { return m_lastBody; }

  private:
    ReceiveTray(Actions actions, QObject* parent);

    Actions m_actions;
    std::unique_ptr<QMenu> m_menu; // a menu has no QObject parent of its own
    QSystemTrayIcon* m_icon;
    QAction* m_show;
    QAction* m_quit;
    QString m_lastTitle;
    QString m_lastBody;
    bool m_clickOpensFolder{false};
    bool m_stillWaitingSaid{false};
};

} // namespace ui
