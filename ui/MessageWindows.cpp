// Message boxes, self-closing messages, Select Modem, and the hooks that lead to them.
#include "ui/MessageWindows.h"

#include "ui/Help.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QVBoxLayout>

#include <cstdio>

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/UserMessages.h"
#include "platform/Clock.h"
#include "platform/ResourceStrings.h"

namespace ui {
namespace {

constexpr int kTextCloseCountdown = 51103;
constexpr int kTextCloseCountdownOne = 51108;
constexpr int kTextOpenReceiveFolder = 51109;
constexpr int kTextFilesReceivedCaption = 51104;
constexpr int kTextSelectModemCaption = 51100;
constexpr int kTextSelectModem = 51101;
constexpr int kTextModemLabel = 51102;
constexpr int kProductName = 57344;
constexpr int kCountdownStepMs = 1000;

QWidget* ParentWindow() {
    QWidget* active = QApplication::activeModalWidget();
    if (!active)
        active = QApplication::activeWindow();
    return active;
}

QMessageBox::Icon BoxIcon(jobs::MessageIcon icon) {
    switch (icon) {
    case jobs::MessageIcon::Information:
        return QMessageBox::Information;
    case jobs::MessageIcon::Warning:
        return QMessageBox::Warning;
    default:
        return QMessageBox::NoIcon;
    }
}

int ShowBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons,
            QMessageBox::StandardButton defaultButton) {
    QMessageBox box(icon, Text(kProductName), text, buttons, ParentWindow());
    box.setDefaultButton(defaultButton);
    return box.exec();
}

bool OnUiThread() {
    return QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

} // namespace

QString Text(int id) {
    return QString::fromStdString(platform::ResourceText(id));
}

QPushButton* AddListButton(QBoxLayout* layout, const char* name, int textId) {
    auto* button = new QPushButton(Text(textId));
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    layout->addWidget(button);
    return button;
}

void GiveRowLabelsBuddies(QWidget* window) {
    for (QFormLayout* form : window->findChildren<QFormLayout*>()) {
        for (int row = 0; row < form->rowCount(); ++row) {
            QLayoutItem* field = form->itemAt(row, QFormLayout::FieldRole);
            QLayoutItem* label = form->itemAt(row, QFormLayout::LabelRole);
            auto* text = label ? qobject_cast<QLabel*>(label->widget()) : nullptr;
            if (!text || text->buddy() || !field || !field->layout())
                continue;
            for (int i = 0; i < field->layout()->count(); ++i) {
                if (QWidget* w = field->layout()->itemAt(i)->widget(); w && w->focusPolicy()) {
                    text->setBuddy(w);
                    break;
                }
            }
        }
    }
}

void ResizeToFitScreen(QWidget* window, QSize wanted) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        // Room for the window's frame and a margin around it.
        constexpr int kMargin = 48;
        const QSize room = screen->availableGeometry().size() - QSize(kMargin, kMargin);
        wanted = wanted.boundedTo(room).expandedTo(window->minimumSizeHint());
    }
    window->resize(wanted);
}

SelfClosingDialog::SelfClosingDialog(const QString& caption, const QString& text, QWidget* parent,
                                     int timerId, bool warning)
    : QDialog(parent), m_timerId{timerId} {
    setWindowTitle(caption);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel;
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()
                        ->standardIcon(warning ? QStyle::SP_MessageBoxWarning
                                               : QStyle::SP_MessageBoxInformation,
                                       nullptr, this)
                        .pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    m_text = new QLabel(text);
    m_text->setWordWrap(true);
    m_text->setMinimumWidth(360);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_text, 1);
    row->setSpacing(14);
    layout->addLayout(row);
    m_countdown = new QLabel;
    m_countdown->setAlignment(Qt::AlignRight);
    layout->addWidget(m_countdown);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    m_text->setAccessibleName(text);
    connect(&m_timer, &QTimer::timeout, this, &SelfClosingDialog::Tick);
}

QString SelfClosingDialog::MessageText() const {
    return m_text->text();
}

void SelfClosingDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_timer.isActive())
        return;
    m_openedAt = platform::GetTickCount();
    // Platform milliseconds, so an accelerated clock closes the window sooner.
    m_timer.start(static_cast<int>(
        std::max<std::int64_t>(1, platform::RealMicroseconds(kCountdownStepMs) / 1000)));
    Tick();
}

void SelfClosingDialog::Tick() {
    const long left = platform::Remaining(m_openedAt, jobs::kSelfCloseMs);
    if (left <= 0) {
        m_timer.stop();
        accept();
        return;
    }
    const long seconds = (left + kCountdownStepMs - 1) / kCountdownStepMs;
    std::string format(
        platform::LoadResourceString(seconds == 1 ? kTextCloseCountdownOne : kTextCloseCountdown));
    char line[160];
    std::snprintf(line, sizeof line, format.c_str(), seconds);
    m_countdown->setText(QString::fromUtf8(line));
}

TimedMessageDialog::TimedMessageDialog(const QString& text, QWidget* parent)
    : SelfClosingDialog(Text(kProductName), text, parent, jobs::kTimedMessageTimerId, true) {}

FilesReceivedDialog::FilesReceivedDialog(int files, QWidget* parent)
    : SelfClosingDialog(Text(kTextFilesReceivedCaption),
                        QString::fromStdString(jobs::FilesReceivedText(files)), parent,
                        jobs::kFilesReceivedTimerId, false) {
    // The files just received are one button away.
    auto* open = findChild<QDialogButtonBox*>()->addButton(Text(kTextOpenReceiveFolder),
                                                           QDialogButtonBox::ActionRole);
    open->setObjectName(QStringLiteral("openReceiveFolder"));
    connect(open, &QPushButton::clicked, this, [this] {
        data::AppSettings settings;
        data::LoadSettings(settings);
        data::OpenFolderInShell(settings.generalReceiveFolder);
        accept();
    });
}

ModemComboBox::ModemComboBox(const comm::ModemListModel& modems, QWidget* parent)
    : QComboBox(parent) {
    const auto& names = modems.Names();
    const auto& ids = modems.DeviceIds();
    for (std::size_t i = 0; i < names.size(); ++i)
        addItem(QString::fromStdString(names[i]), QVariant::fromValue(ids[i]));
    setCurrentIndex(modems.SelectedIndex());
}

SelectModemDialog::SelectModemDialog(const comm::ModemListModel& modems, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(Text(kTextSelectModemCaption));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    auto* intro = new QLabel(Text(kTextSelectModem));
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(Text(kTextModemLabel));
    m_combo = new ModemComboBox(modems);
    m_combo->setMinimumContentsLength(32);
    m_combo->setAccessibleName(label->text().remove('&'));
    label->setBuddy(m_combo);
    row->addWidget(label);
    row->addWidget(m_combo, 1);
    layout->addLayout(row);
    layout->addSpacing(8);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    SetHelpId(m_combo, 1037);
    InstallHelp(this, jobs::kNoButtonHelp, jobs::WindowTopic(jobs::kSelectModemWindow));
}

QString SelectModemDialog::ChosenModem() const {
    return m_combo->currentText();
}

void PresentOutcome(const jobs::OutcomeMessage& message) {
    const QString text = QString::fromStdString(message.text);
    switch (message.kind) {
    case jobs::MessageKind::MessageBox:
        ShowBox(BoxIcon(message.icon), text, QMessageBox::Ok, QMessageBox::Ok);
        break;
    case jobs::MessageKind::TimedMessage: {
        TimedMessageDialog dialog(text, ParentWindow());
        dialog.exec();
        break;
    }
    case jobs::MessageKind::FilesReceived: {
        FilesReceivedDialog dialog(message.filesReceived, ParentWindow());
        dialog.exec();
        break;
    }
    case jobs::MessageKind::None:
        break;
    }
}

bool ClosesByItself(int stringId) {
    // What a receive can raise while nobody watches: the receive folder, the transfer log,
    // the MacBinary conversion and moving files into the dated folder.
    return stringId == 50206 || stringId == 50211 || stringId == 50212 ||
           (stringId >= 50215 && stringId <= 50220) || stringId == 50223;
}

comm::ModemSelectionHooks ModemHooks(QWidget* parent) {
    comm::ModemSelectionHooks hooks;
    hooks.showMessage = [](comm::ModemSelectionHooks::Icon icon, int, const std::string& text) {
        ShowBox(icon == comm::ModemSelectionHooks::Icon::Stop ? QMessageBox::Critical
                                                              : QMessageBox::Information,
                QString::fromStdString(text), QMessageBox::Ok, QMessageBox::Ok);
    };
    hooks.selectModem = [parent](const comm::ModemListModel& modems) -> std::optional<std::string> {
        SelectModemDialog dialog(modems, parent);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.ChosenModem().toStdString();
    };
    return hooks;
}

void InstallMessageHooks() {
    jobs::SetOutcomePresenter(PresentOutcome);
    data::SetMessageHook([](data::MessageKind kind, int stringId, const std::string& text) {
        const bool question = kind != data::MessageKind::Exclamation;
        if (!OnUiThread()) {
            // Only the window's thread shows windows; a worker's message goes to the log stream.
            std::fprintf(stderr, "%s\n", text.c_str());
            if (kind == data::MessageKind::QuestionNoYes)
                return data::MessageAnswer::No;
            return question && kind == data::MessageKind::QuestionYesNo ? data::MessageAnswer::Yes
                                                                        : data::MessageAnswer::Ok;
        }
        const QString message = QString::fromStdString(text);
        switch (kind) {
        case data::MessageKind::Exclamation:
            if (ClosesByItself(stringId)) {
                TimedMessageDialog dialog(message, ParentWindow());
                dialog.exec();
            } else {
                ShowBox(QMessageBox::Warning, message, QMessageBox::Ok, QMessageBox::Ok);
            }
            return data::MessageAnswer::Ok;
        case data::MessageKind::QuestionYesNo:
            return ShowBox(QMessageBox::Question, message, QMessageBox::Yes | QMessageBox::No,
                           QMessageBox::Yes) == QMessageBox::No
                       ? data::MessageAnswer::No
                       : data::MessageAnswer::Yes;
        case data::MessageKind::QuestionNoYes:
            return ShowBox(QMessageBox::Question, message, QMessageBox::Yes | QMessageBox::No,
                           QMessageBox::No) == QMessageBox::Yes
                       ? data::MessageAnswer::Yes
                       : data::MessageAnswer::No;
        case data::MessageKind::QuestionOkCancel:
            return ShowBox(QMessageBox::Question, message, QMessageBox::Ok | QMessageBox::Cancel,
                           QMessageBox::Ok) == QMessageBox::Cancel
                       ? data::MessageAnswer::Cancel
                       : data::MessageAnswer::Ok;
        }
        return data::MessageAnswer::Ok;
    });
}

} // namespace ui
