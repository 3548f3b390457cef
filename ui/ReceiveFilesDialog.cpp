// The Receive Files window.
#include "ui/ReceiveFilesDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "jobs/ReceiveJob.h"
#include "ui/Help.h"
#include "ui/MessageWindows.h"
#include "ui/ReceiveTray.h"
#include "ui/TransferDialog.h"

namespace ui {
namespace {
constexpr int kCaption = 51054; // "Receive Files"
constexpr int kIntro = 51010;
constexpr int kLabelCalls = 51011;
constexpr int kLabelFiles = 51012;
constexpr int kLabelSpace = 51013;
constexpr int kButtonFolder = 51014;
constexpr int kButtonDone = 51015;
constexpr int kButtonHelp = 51230;
} // namespace

ReceiveFilesDialog::ReceiveFilesDialog(jobs::JobContext& context, QWidget* parent)
    : QDialog(parent), m_logic{context}, m_target{std::make_shared<QtPostTarget>(this)} {
    setWindowTitle(Text(kCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->setSpacing(10);
    auto* intro = new QLabel(Text(kIntro));
    intro->setWordWrap(true);
    intro->setMinimumWidth(380);
    layout->addWidget(intro);
    m_status = new QLabel;
    QFont bold = m_status->font();
    bold.setBold(true);
    m_status->setFont(bold);
    layout->addWidget(m_status);

    auto* form = new QFormLayout;
    form->setHorizontalSpacing(24);
    auto figure = [&](int labelId) {
        auto* value = new QLabel;
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setMinimumWidth(
            value->fontMetrics().horizontalAdvance(QStringLiteral("9999999 MB")));
        value->setAccessibleName(Text(labelId));
        form->addRow(Text(labelId), value);
        return value;
    };
    m_calls = figure(kLabelCalls);
    m_files = figure(kLabelFiles);
    m_space = figure(kLabelSpace);
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    m_folder = new QPushButton(Text(kButtonFolder));
    m_done = new QPushButton(Text(kButtonDone));
    m_done->setDefault(true);
    auto* help = new QPushButton(Text(kButtonHelp));
    help->setAutoDefault(false);
    help->setObjectName(QStringLiteral("help"));
    connect(help, &QPushButton::clicked, this,
            [this] { ShowHelpTopic(jobs::WindowTopic(jobs::kReceiveFilesWindow), this); });
    buttons->addWidget(m_folder);
    buttons->addStretch(1);
    buttons->addWidget(m_done);
    buttons->addWidget(help);
    layout->addSpacing(4);
    layout->addLayout(buttons);
    connect(m_folder, &QPushButton::clicked, this, &ReceiveFilesDialog::OpenReceiveFolder);
    connect(m_done, &QPushButton::clicked, this, &ReceiveFilesDialog::Done);
    for (auto [control, id] : std::initializer_list<std::pair<QWidget*, int>>{
             {m_calls, jobs::kControlCallsAnswered},
             {m_files, jobs::kControlFilesReceivedCount},
             {m_space, jobs::kControlFreeSpace},
             {m_folder, 1019},
             {m_done, 1},
             {help, jobs::kHelpButtonId}})
        SetHelpId(control, id);
    InstallHelp(this, jobs::kReceiveFilesHelp, jobs::WindowTopic(jobs::kReceiveFilesWindow));

    m_tray = ReceiveTray::Create({[this] { ShowFromTray(); }, [this] { OpenReceiveFolder(); },
                                  [this] {
                                      m_quitRequested = true;
                                      Done();
                                  }});
    m_logic.SetPostTarget(m_target);
    m_logic.RefreshCounters();
    Refresh();
}

int ReceiveFilesDialog::Run() {
    setWindowModality(Qt::ApplicationModal);
    bool finished = false;
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    show();
    if (!finished)
        loop.exec(QEventLoop::DialogExec);
    LeaveTray(!m_quitRequested); // the main window comes back unless the program ends
    return result();
}

void ReceiveFilesDialog::LeaveTray(bool showMainWindow) {
    if (!m_inTray)
        return;
    m_inTray = false;
    QApplication::setQuitOnLastWindowClosed(m_quitOnLastWindowClosed);
    QWidget* main = parentWidget() ? parentWidget()->window() : nullptr;
    if (main && showMainWindow)
        main->show();
}

void ReceiveFilesDialog::OpenReceiveFolder() {
    const data::AppSettings* settings = m_logic.Context().settings;
    if (settings)
        data::OpenFolderInShell(settings->generalReceiveFolder);
}

void ReceiveFilesDialog::HideToTray() {
    if (!m_inTray) {
        // With every window hidden, a dialog closing in the meantime (a call's windows) must
        // not end the program.
        m_quitOnLastWindowClosed = QApplication::quitOnLastWindowClosed();
        QApplication::setQuitOnLastWindowClosed(false);
    }
    m_inTray = true;
    if (QWidget* main = parentWidget() ? parentWidget()->window() : nullptr)
        main->hide();
    hide();
    m_tray->SayStillWaiting();
}

void ReceiveFilesDialog::ShowFromTray() {
    LeaveTray(true);
    showNormal();
    raise();
    activateWindow();
}

ReceiveFilesDialog::~ReceiveFilesDialog() {
    LeaveTray(false);
    m_target->Detach();
}

QLabel* ReceiveFilesDialog::Field(int control) const {
    switch (control) {
    case jobs::kControlCallsAnswered:
        return m_calls;
    case jobs::kControlFilesReceivedCount:
        return m_files;
    case jobs::kControlFreeSpace:
        return m_space;
    default:
        return nullptr;
    }
}

void ReceiveFilesDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_started) {
        m_started = true;
        m_logic.Open();
        Refresh();
    }
}

void ReceiveFilesDialog::Refresh() {
    m_calls->setText(QString::fromStdString(m_logic.ControlText(jobs::kControlCallsAnswered)));
    m_files->setText(QString::fromStdString(m_logic.ControlText(jobs::kControlFilesReceivedCount)));
    m_space->setText(QString::fromStdString(m_logic.ControlText(jobs::kControlFreeSpace)));
    m_status->setText(QString::fromStdString(m_logic.StatusText()));
    if (m_tray)
        m_tray->SetStatus(m_status->text());
}

bool ReceiveFilesDialog::event(QEvent* event) {
    if (event->type() != JobEvent::EventType())
        return QDialog::event(event);
    switch (m_logic.HandleMessage(static_cast<JobEvent*>(event)->Message())) {
    case jobs::ReceiveFilesLogic::Next::RunTransfer:
        // Out of this handler: the transfer window runs its own modal loop.
        QTimer::singleShot(0, this, &ReceiveFilesDialog::RunTransfer);
        break;
    case jobs::ReceiveFilesLogic::Next::ShowErrorAndClose:
    case jobs::ReceiveFilesLogic::Next::CloseCancelled:
        QDialog::reject();
        break;
    case jobs::ReceiveFilesLogic::Next::CloseOk:
        QDialog::accept();
        break;
    case jobs::ReceiveFilesLogic::Next::Wait:
        break;
    }
    Refresh();
    return true;
}

void ReceiveFilesDialog::RunTransfer() {
    Refresh();
    TransferDialog transfer(jobs::ReceiveJobThread, m_logic.Context(), nullptr, this);
    if (m_transferObserver)
        m_transferObserver(transfer);
    transfer.exec();
    if (!m_inTray) {
        raise();
        activateWindow();
    }
    if (m_tray) {
        if (std::optional<jobs::ArrivalNotice> notice =
                jobs::ArrivalNoticeFor(transfer.Logic().FileRecords()))
            m_tray->Announce(*notice);
    }
    const bool waiting =
        m_logic.CallFinished(false, transfer.Logic().ShownFilesDone(), transfer.Logic().Block());
    Refresh();
    if (!waiting)
        QDialog::accept();
}

void ReceiveFilesDialog::Done() {
    // The window closes when the worker reports that it has put the modem back; with no
    // worker left (the receive folder could not be made) it closes at once.
    m_done->setEnabled(false);
    if (m_logic.PressDone())
        QDialog::accept();
}

void ReceiveFilesDialog::closeEvent(QCloseEvent* event) {
    // With a tray, closing the window keeps the station waiting there; Done or Quit ends it.
    if (m_tray && isVisible() && m_logic.WorkerRunning() && m_done->isEnabled()) {
        event->ignore();
        HideToTray();
        return;
    }
    if (isVisible() && (m_logic.WorkerRunning() || !m_done->isEnabled())) {
        event->ignore();
        Done();
        return;
    }
    QDialog::closeEvent(event);
}

void ReceiveFilesDialog::reject() {
    Done();
}

} // namespace ui
