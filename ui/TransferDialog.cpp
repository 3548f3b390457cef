// The Transfer Files window.
#include "ui/TransferDialog.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/Help.h"
#include "ui/MessageWindows.h"

namespace ui {
namespace {
constexpr int kLabelElapsed = 51000;
constexpr int kLabelTimeLeft = 51001;
constexpr int kLabelSpeed = 51002;
constexpr int kLabelConnectSpeed = 51003;
constexpr int kLabelErrors = 51004;
constexpr int kLabelFiles = 51016;
} // namespace

TransferDialog::TransferDialog(jobs::JobThreadProcedure procedure, jobs::JobContext& context,
                               std::vector<std::string>* viewFileList, QWidget* parent)
    : QDialog(parent), m_logic{procedure, context, viewFileList},
      m_target{std::make_shared<QtPostTarget>(this)} {
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->setSpacing(10);

    auto* status = new QLabel;
    QFont bold = status->font();
    bold.setBold(true);
    status->setFont(bold);
    status->setMinimumWidth(420);
    status->setTextFormat(Qt::PlainText);
    m_fields[jobs::kControlStatusLine] = status;
    layout->addWidget(status);

    m_progress = new QProgressBar;
    m_progress->setRange(0, 100);
    m_progress->setAccessibleName(QStringLiteral("Progress"));
    layout->addWidget(m_progress);

    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignLeft);
    form->setHorizontalSpacing(24);
    // Figures that change while the job runs line up on the right, in fields wide enough for
    // their largest value, so nothing jumps.
    auto addRow = [&](int control, QLabel* label) {
        auto* value = new QLabel;
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setTextFormat(Qt::PlainText);
        value->setMinimumWidth(value->fontMetrics().horizontalAdvance(
            QStringLiteral("99999999 cps (100% efficiency)")));
        value->setAccessibleName(label->text());
        m_fields[control] = value;
        form->addRow(label, value);
    };
    auto* bytesLabel = new QLabel;
    m_fields[jobs::kControlBytesLabel] = bytesLabel;
    // "Files remaining to be sent: 3": the words as the row's label, the count lined up with
    // the other figures.
    m_filesLabel = new QLabel;
    m_filesLabel->setTextFormat(Qt::PlainText);
    addRow(jobs::kControlFiles, m_filesLabel);
    m_fields[jobs::kControlFiles]->setAccessibleName(Text(kLabelFiles));
    addRow(jobs::kControlBytes, bytesLabel);
    addRow(jobs::kControlElapsed, new QLabel(Text(kLabelElapsed)));
    addRow(jobs::kControlTimeLeft, new QLabel(Text(kLabelTimeLeft)));
    addRow(jobs::kControlSpeed, new QLabel(Text(kLabelSpeed)));
    addRow(jobs::kControlConnectSpeed, new QLabel(Text(kLabelConnectSpeed)));
    addRow(jobs::kControlErrors, new QLabel(Text(kLabelErrors)));
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_stop = new QPushButton;
    m_stop->setDefault(true);
    m_stop->setMinimumWidth(m_stop->fontMetrics().horizontalAdvance(QStringLiteral("Dial Now")) +
                            32);
    connect(m_stop, &QPushButton::clicked, this, [this] {
        if (!m_logic.Done())
            m_logic.PressStopButton();
    });
    buttons->addWidget(m_stop);
    // While a redial is waited for the button dials now; Stop stays beside it.
    m_stopWaiting = new QPushButton(QStringLiteral("&Stop"));
    m_stopWaiting->setObjectName(QStringLiteral("stopWaiting"));
    m_stopWaiting->setAutoDefault(false);
    m_stopWaiting->setVisible(false);
    connect(m_stopWaiting, &QPushButton::clicked, this, [this] {
        if (!m_logic.Done())
            m_logic.CloseCommand();
    });
    buttons->addWidget(m_stopWaiting);
    layout->addLayout(buttons);
    for (auto& [control, field] : m_fields)
        SetHelpId(field, control);
    SetHelpId(m_progress, jobs::kControlProgress);
    SetHelpId(m_stop, jobs::kControlStopButton);
    SetHelpId(m_stopWaiting, jobs::kControlStopButton);
    InstallHelp(this, jobs::kTransferFilesHelp, jobs::WindowTopic(jobs::kTransferFilesWindow));

    m_logic.SetPostTarget(m_target);
    // The closing work (moving and converting received files) shows its phase while it runs.
    m_logic.SetObserver([this](jobs::TransferWindowLogic&, const platform::PostedMessage& m) {
        if (m.id == 0) {
            Refresh();
            repaint();
        }
    });
    m_logic.Open();
    Refresh();
}

TransferDialog::~TransferDialog() {
    m_target->Detach();
}

QLabel* TransferDialog::Field(int control) const {
    auto it = m_fields.find(control);
    return it == m_fields.end() ? nullptr : it->second;
}

void TransferDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_started) {
        m_started = true;
        m_logic.Start();
    }
}

bool TransferDialog::event(QEvent* event) {
    if (event->type() != JobEvent::EventType())
        return QDialog::event(event);
    const bool done = m_logic.HandleMessage(static_cast<JobEvent*>(event)->Message());
    Refresh();
    if (done && isVisible()) {
        m_logic.JoinWorker();
        QDialog::accept();
    }
    return true;
}

void TransferDialog::Refresh() {
    setWindowTitle(QString::fromStdString(m_logic.Caption()));
    for (auto& [control, label] : m_fields) {
        QString text = QString::fromStdString(m_logic.ControlText(control));
        if (control == jobs::kControlFiles) {
            const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
            m_filesLabel->setText(text.left(colon + 1));
            text = text.mid(colon + 1).trimmed();
        }
        if (label->text() != text)
            label->setText(text);
    }
    m_progress->setValue(m_logic.ProgressBar());
    // Keyboard users reach the button with Alt and its first letter.
    QString button = QString::fromStdString(m_logic.ControlText(jobs::kControlStopButton));
    button.prepend(QLatin1Char('&'));
    if (m_stop->text() != button)
        m_stop->setText(button);
    m_stopWaiting->setVisible(m_logic.DialNowShown() && !m_logic.Done());
}

void TransferDialog::closeEvent(QCloseEvent* event) {
    // The close box is Stop; the window stays until the job is done.
    if (!m_logic.Done()) {
        event->ignore();
        m_logic.CloseCommand();
        return;
    }
    QDialog::closeEvent(event);
}

void TransferDialog::reject() {
    // Escape is Stop too.
    if (!m_logic.Done())
        m_logic.CloseCommand();
}

} // namespace ui
