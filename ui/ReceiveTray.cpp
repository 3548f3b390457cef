#include "ui/ReceiveTray.h"

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include "ui/MessageWindows.h"

namespace ui {
namespace {
constexpr int kShowWindow = 51243;
constexpr int kOpenReceiveFolder = 51109;
constexpr int kQuit = 51244;
constexpr int kStillWaiting = 51245;
constexpr int kTooltip = 51246; // "Sendari: %1"
constexpr int kProductName = 57344;
constexpr int kNoticeMs = 10000;
} // namespace

std::unique_ptr<ReceiveTray> ReceiveTray::Create(Actions actions, QObject* parent) {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return nullptr;
    return std::unique_ptr<ReceiveTray>(new ReceiveTray(std::move(actions), parent));
}

ReceiveTray::ReceiveTray(Actions actions, QObject* parent)
    : QObject(parent), m_actions{std::move(actions)}, m_menu{std::make_unique<QMenu>()},
      m_icon{new QSystemTrayIcon(QIcon(QStringLiteral(":/sendari/sendari.svg")), this)} {
    m_show = m_menu->addAction(Text(kShowWindow), this, [this] { m_actions.show(); });
    m_menu->addAction(Text(kOpenReceiveFolder), this, [this] { m_actions.openFolder(); });
    m_menu->addSeparator();
    m_quit = m_menu->addAction(Text(kQuit), this, [this] { m_actions.quit(); });
    m_icon->setContextMenu(m_menu.get());
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    m_actions.show();
            });
    // A click on the notice of arrived files opens the folder they are in; a click on the
    // "still waiting" notice only brings the window back.
    connect(m_icon, &QSystemTrayIcon::messageClicked, this, [this] {
        if (m_clickOpensFolder)
            m_actions.openFolder();
        else
            m_actions.show();
    });
    m_icon->setToolTip(Text(kProductName));
    m_icon->show();
}

ReceiveTray::~ReceiveTray() {
    m_icon->hide();
}

void ReceiveTray::SetStatus(const QString& status) {
    m_icon->setToolTip(Text(kTooltip).replace(QStringLiteral("%1"), status));
}

void ReceiveTray::Announce(const jobs::ArrivalNotice& notice) {
    m_lastTitle = QString::fromStdString(notice.title);
    m_lastBody = QString::fromStdString(notice.body);
    m_clickOpensFolder = true;
    m_icon->showMessage(m_lastTitle, m_lastBody, QSystemTrayIcon::Information, kNoticeMs);
}

void ReceiveTray::SayStillWaiting() {
    if (m_stillWaitingSaid)
        return;
    m_stillWaitingSaid = true;
    m_lastTitle = Text(kProductName);
    m_lastBody = Text(kStillWaiting);
    m_clickOpensFolder = false;
    m_icon->showMessage(m_lastTitle, m_lastBody, QSystemTrayIcon::Information, kNoticeMs);
}

} // namespace ui
