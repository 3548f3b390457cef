// The main window and the receive workflow.
#include "ui/MainWindow.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWhatsThis>

#include "data/FileUtilities.h"
#include "data/TransferLog.h"
#include "data/UserMessages.h"
#include "jobs/JobContext.h"
#include "jobs/JobPreparation.h"
#include "jobs/ModemChoice.h"
#include "jobs/ModemDialogue.h"
#include "ui/Help.h"
#include "ui/MessageWindows.h"
#include "ui/ReceiveFilesDialog.h"
#include "ui/SelectFilesDialog.h"
#include "ui/DestinationDialogs.h"
#include "ui/TransferDialog.h"
#include "ui/OptionsDialog.h"
#include "ui/TransferLogDialog.h"
#include "jobs/SendJob.h"
#include "platform/Registry.h"
#include "platform/ResourceStrings.h"

namespace ui {

namespace {

// Marks the window busy for as long as a workflow runs, however it ends.
class BusyScope {
  public:
    explicit BusyScope(bool& busy) : m_busy{busy} { m_busy = true; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope() { m_busy = false; }

  private:
    bool& m_busy;
};

constexpr int kMsgSettingsTrouble = 50244;
constexpr int kApplicationTitle = 128;
constexpr int kPartialFolderName = 50121;
constexpr int kMsgCannotCreateFolder = 50206;
constexpr int kSendButton = 51050;
constexpr int kSendTitle = 51051;
constexpr int kSendText = 51052;
constexpr int kReceiveButton = 51053;
constexpr int kReceiveTitle = 51054;
constexpr int kReceiveText = 51055;
constexpr int kMenuFile = 51056;
constexpr int kMenuSend = 51057;
constexpr int kMenuReceive = 51058;
constexpr int kMenuOpenFolder = 51059;
constexpr int kMenuLog = 51060;
constexpr int kMenuExit = 51061;
constexpr int kMenuSetup = 51062;
constexpr int kMenuSendSetup = 51063;
constexpr int kMenuReceiveSetup = 51064;
constexpr int kMenuModemSetup = 51065;
constexpr int kMenuHelp = 51066;
constexpr int kMenuHelpTopics = 51067;
constexpr int kMenuAbout = 51068;
constexpr int kMenuWhatsThis = 51232;
constexpr int kAboutCaption = 51105;
constexpr int kAboutVersion = 51106;
constexpr int kAboutText = 51107;
constexpr int kIconSize = 56;
constexpr int kBannerHeight = 120;
constexpr const char* kSvdDestination = "SVD";

QPixmap Banner(int width, qreal ratio) {
    QSvgRenderer renderer(QStringLiteral(":/sendari/banner.svg"));
    QPixmap pixmap(QSize(width, kBannerHeight) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(0, 0, width, kBannerHeight));
    return pixmap;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(Text(kApplicationTitle));
    setWindowIcon(QIcon(QStringLiteral(":/sendari/sendari.svg")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setCentralWidget(BuildForm());
    BuildMenus();
    SetHelpId(m_sendButton, 1001);
    SetHelpId(m_receiveButton, 1002);
    InstallHelp(this, jobs::kNoButtonHelp, jobs::WindowTopic(jobs::kMainWindowNumber));
}

QWidget* MainWindow::BuildForm() {
    auto* form = new QWidget;
    auto* layout = new QVBoxLayout(form);
    layout->setContentsMargins(0, 0, 0, 16);
    layout->setSpacing(0);
    auto* banner = new QLabel;
    constexpr int kFormWidth = 480;
    banner->setPixmap(Banner(kFormWidth, devicePixelRatioF()));
    banner->setFixedSize(kFormWidth, kBannerHeight);
    banner->setAccessibleName(QStringLiteral("Two computers joined by a telephone line"));
    layout->addWidget(banner);

    auto* rows = new QGridLayout;
    rows->setContentsMargins(16, 16, 16, 0);
    rows->setHorizontalSpacing(16);
    rows->setVerticalSpacing(14);
    auto addRow = [&](int row, int buttonText, int title, int text, const char* icon) {
        auto* button = new QPushButton;
        button->setIcon(QIcon(QString::fromLatin1(icon)));
        button->setIconSize(QSize(kIconSize, kIconSize));
        button->setFixedSize(kIconSize + 16, kIconSize + 16);
        button->setAccessibleName(Text(buttonText));
        button->setToolTip(Text(buttonText));
        auto* words = new QVBoxLayout;
        words->setSpacing(2);
        auto* heading = new QLabel(Text(title));
        QFont bold = heading->font();
        bold.setBold(true);
        bold.setPointSizeF(bold.pointSizeF() * 1.15);
        heading->setFont(bold);
        words->addStretch(1);
        words->addWidget(heading);
        words->addWidget(new QLabel(Text(text)));
        words->addStretch(1);
        rows->addWidget(button, row, 0);
        rows->addLayout(words, row, 1);
        return button;
    };
    m_sendButton = addRow(0, kSendButton, kSendTitle, kSendText, ":/sendari/send.svg");
    m_receiveButton =
        addRow(1, kReceiveButton, kReceiveTitle, kReceiveText, ":/sendari/receive.svg");
    rows->setColumnStretch(1, 1);
    layout->addLayout(rows);
    connect(m_sendButton, &QPushButton::clicked, this, &MainWindow::SendWorkflow);
    connect(m_receiveButton, &QPushButton::clicked, this, &MainWindow::ReceiveWorkflow);
    return form;
}

void MainWindow::BuildMenus() {
    auto add = [this](QMenu* menu, const char* name, int text, const QKeySequence& keys, auto slot,
                      bool enabled) {
        QAction* action = menu->addAction(Text(text));
        action->setObjectName(QString::fromLatin1(name));
        if (!keys.isEmpty())
            action->setShortcut(keys);
        action->setEnabled(enabled);
        if (enabled)
            connect(action, &QAction::triggered, this, slot);
        return action;
    };
    QMenu* file = menuBar()->addMenu(Text(kMenuFile));
    add(
        file, "send", kMenuSend, QKeySequence(Qt::CTRL | Qt::Key_S), [this] { SendWorkflow(); },
        true);
    add(
        file, "receive", kMenuReceive, QKeySequence(Qt::CTRL | Qt::Key_R),
        [this] { ReceiveWorkflow(); }, true);
    add(
        file, "openReceiveFolder", kMenuOpenFolder, QKeySequence(Qt::CTRL | Qt::Key_O),
        [this] { OpenReceiveFolder(); }, true);
    add(
        file, "transferLog", kMenuLog, QKeySequence(Qt::CTRL | Qt::Key_T),
        [this] { ShowTransferLog(); }, true);
    file->addSeparator();
    add(
        file, "exit", kMenuExit, QKeySequence(), [this] { close(); }, true);
    QMenu* setup = menuBar()->addMenu(Text(kMenuSetup));
    add(
        setup, "sendSetup", kMenuSendSetup, QKeySequence(), [this] { ShowOptions(0); }, true);
    add(
        setup, "receiveSetup", kMenuReceiveSetup, QKeySequence(), [this] { ShowOptions(1); }, true);
    add(
        setup, "modemSetup", kMenuModemSetup, QKeySequence(), [this] { ShowOptions(2); }, true);
    QMenu* help = menuBar()->addMenu(Text(kMenuHelp));
    add(
        help, "helpTopics", kMenuHelpTopics, QKeySequence(), [this] { ShowHelpTopic(0, this); },
        true);
    // F1 and Shift+F1 belong to the window (see InstallHelp); the menu names them.
    add(
        help, "whatsThis", kMenuWhatsThis, QKeySequence(), [] { QWhatsThis::enterWhatsThisMode(); },
        true)
        ->setText(Text(kMenuWhatsThis) + QStringLiteral("\tShift+F1"));
    help->addSeparator();
    add(
        help, "about", kMenuAbout, QKeySequence(), [this] { ShowAbout(); }, true);
}

QAction* MainWindow::Action(const QString& objectName) const {
    return findChild<QAction*>(objectName);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // Fixed at the size the form needs; no maximising.
    setFixedSize(sizeHint());
    QTimer::singleShot(1, this, &MainWindow::StartUpTimer);
}

void MainWindow::StartUpTimer() {
    data::LoadSettings(m_settings);
    // A settings file that could not be read is neither used nor saved over: the user is told
    // which, as for one that was repaired.
    const std::vector<std::string> notices = platform::TakeRegistryNotices();
    if (!notices.empty()) {
        std::string text = platform::ResourceText(kMsgSettingsTrouble);
        for (const std::string& notice : notices)
            text += "\n\n" + notice;
        data::ShowMessageText(data::MessageKind::Exclamation, kMsgSettingsTrouble, text);
    }
    if (m_settings.modemSelection.empty())
        jobs::EnsureModemSelected(m_settings, ModemHooks(this));
    m_startedUp = true;
    if (!m_settings.modemSelection.empty() && !m_commandLineFiles.empty()) {
        m_filesGiven = true;
        m_sendList.insert(m_sendList.end(), m_commandLineFiles.begin(), m_commandLineFiles.end());
        m_commandLineFiles.clear();
        SendWorkflow();
    }
}

void MainWindow::HandOver(std::vector<std::string> paths) {
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    if (m_busy || paths.empty())
        return;
    std::vector<std::string> list;
    for (const std::string& path : paths)
        data::AddPathToList(path, list); // a path that is gone adds nothing
    if (list.empty())
        return;
    if (!m_startedUp) {
        // The settings are not read yet: start-up sends them with its own.
        m_commandLineFiles.insert(m_commandLineFiles.end(), list.begin(), list.end());
        return;
    }
    m_sendList = std::move(list);
    m_filesGiven = true;
    SendWorkflow();
}

jobs::PrepareResult MainWindow::PrepareJob(bool isSend) {
    // The modem (chosen now if none is), its port, and the job's objects; every failure has
    // told the user why.
    jobs::PrepareResult prepared;
    if (!jobs::EnsureModemSelected(m_settings, ModemHooks(this)))
        return prepared;
    jobs::ModemChoice choice;
    if (!jobs::FindJobModem(m_settings, 0, choice, prepared.failure)) {
        PresentOutcome(prepared.failure);
        return prepared;
    }
    prepared = jobs::PrepareTransferJob(m_settings, choice.comNumber, choice.profile,
                                        choice.extraSettings, choice.responses, isSend);
    if (!prepared.job)
        PresentOutcome(prepared.failure);
    return prepared;
}

void MainWindow::SendWorkflow() {
    if (m_busy)
        return;
    BusyScope busy{m_busy};
    bool showSelection = !m_filesGiven;
    m_filesGiven = false;
    jobs::PrepareResult prepared{PrepareJob(true)};
    if (!prepared.job)
        return;
    jobs::JobContext& context = prepared.job->context;
    SelectFilesDialog files(m_sendList, this);
    for (;;) {
        if (showSelection) {
            // Closed other than with OK: the send list is emptied.
            if (files.exec() != QDialog::Accepted || !files.Logic().Confirmed()) {
                m_sendList.clear();
                return;
            }
        }
        showSelection = true;
        context.svdInCall = jobs::DetectSvdCall(context);
        if (context.svdInCall) {
            context.destinationName = kSvdDestination;
            context.destinationPhone.clear();
            break;
        }
        SelectDestinationDialog destination(m_settings, this);
        const int result = destination.exec();
        if (result == jobs::kResultReselectFiles)
            continue;
        if (result != QDialog::Accepted)
            return; // the send list stays as it is
        context.destinationName = destination.Logic().ChosenName();
        context.destinationPhone = destination.Logic().Number();
        break;
    }
    // A file that cannot be sent is named now, before any call is made.
    const std::vector<std::string> refused = jobs::FilesThatCannotBeSent(m_sendList);
    if (!refused.empty()) {
        std::string names;
        for (const std::string& path : refused)
            names += (names.empty() ? "" : "\n") + path;
        data::ShowMessage(data::MessageKind::Exclamation, jobs::kMsgCannotBeSent, names);
        return;
    }
    context.isSend = 1;
    activateWindow();
    TransferDialog transfer(jobs::SendJobThread, context, &m_sendList, this);
    transfer.exec();
    prepared.job.reset();
    raise();
    activateWindow();
    jobs::ShowJobOutcome(true, transfer.Logic().ShownFilesDone(), transfer.Logic().Block());
}

void MainWindow::ReceiveWorkflow() {
    if (m_busy)
        return;
    BusyScope busy{m_busy};
    jobs::PrepareResult prepared{PrepareJob(false)};
    if (!prepared.job)
        return;
    jobs::JobContext& context = prepared.job->context;
    context.svdInCall = jobs::DetectSvdCall(context);
    const std::string partial =
        m_settings.generalReceiveFolder + "/" + Text(kPartialFolderName).toStdString();
    if (!data::CreateFolderPath(partial)) {
        data::ShowMessage(data::MessageKind::Exclamation, kMsgCannotCreateFolder, partial);
        return;
    }
    context.receiveFolder = partial;
    context.isSend = 0;
    bool quit = false;
    {
        ReceiveFilesDialog dialog(context, this);
        if (m_receiveObserver)
            m_receiveObserver(dialog);
        dialog.Run();
        quit = dialog.QuitRequested();
    }
    // Succeeds only when empty: partly received files stay for the next call to resume.
    ::rmdir(partial.c_str());
    prepared.job.reset();
    if (quit) {
        // Quit in the tray's menu ends the program, as it says, once the modem is put back.
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    raise();
    activateWindow();
}

void MainWindow::ShowOptions(int firstPage) {
    // The sheet saves what its pages hold whichever button closes it.
    OptionsDialog options(m_settings, firstPage, this);
    options.exec();
}

void MainWindow::ShowTransferLog() {
    TransferLogDialog log(data::TransferLogPath(), this);
    if (log.Load())
        log.exec();
}

void MainWindow::OpenReceiveFolder() {
    if (m_settings.generalReceiveFolder.empty())
        data::LoadSettings(m_settings);
    data::OpenFolderInShell(m_settings.generalReceiveFolder);
}

void MainWindow::ShowAbout() {
    QMessageBox box(this);
    box.setWindowTitle(Text(kAboutCaption));
    box.setIconPixmap(QIcon(QStringLiteral(":/sendari/sendari.svg")).pixmap(64, 64));
    box.setText(QStringLiteral("<b>%1</b>")
                    .arg(Text(kAboutVersion)
                             .replace(QStringLiteral("%1"), QStringLiteral(SENDARI_VERSION))));
    box.setInformativeText(Text(kAboutText));
    box.exec();
}

} // namespace ui
