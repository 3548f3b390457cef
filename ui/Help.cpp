// The help window and the help on controls.
#include "ui/Help.h"

#include <utility>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QKeySequence>
#include <QScreen>
#include <QHBoxLayout>
#include <QShortcut>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <QWhatsThis>

#include "ui/MessageWindows.h"

namespace ui {

namespace {
constexpr const char* kHelpIdProperty = "sendariHelpId";
constexpr int kHelpButtonText = 51230;
constexpr int kHelpWindowTitle = 51231;
constexpr int kOkId = 1;
constexpr int kCancelId = 2;

QPointer<HelpWindow> g_helpWindow;

QString TopicText(int topic) {
    return QString::fromStdString(jobs::HelpTopicText(HelpBookHtml(), topic));
}
} // namespace

const std::string& HelpBookHtml() {
    // Read once: every window asks it for the text of each of its controls.
    static const std::string book = [] {
        QFile file(QStringLiteral(":/sendari/help/sendari.html"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }();
    return book;
}

QUrl HelpBookUrl() {
    return QUrl(QStringLiteral("qrc:/sendari/help/sendari.html"));
}

HelpWindow::HelpWindow(QWidget* owner) : QWidget(owner, Qt::Window) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Text(kHelpWindowTitle));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    auto* bar = new QHBoxLayout;
    auto* back = new QPushButton(QStringLiteral("&Back"));
    back->setObjectName(QStringLiteral("back"));
    back->setEnabled(false);
    auto* contents = new QPushButton(QStringLiteral("&Contents"));
    contents->setObjectName(QStringLiteral("contents"));
    bar->addWidget(back);
    bar->addWidget(contents);
    bar->addStretch(1);
    layout->addLayout(bar);
    m_browser = new QTextBrowser;
    m_browser->setOpenExternalLinks(false);
    // The page gets margins of its own rather than text against the frame.
    m_browser->document()->setDocumentMargin(14);
    layout->addWidget(m_browser);
    connect(back, &QPushButton::clicked, m_browser, &QTextBrowser::backward);
    connect(m_browser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    connect(contents, &QPushButton::clicked, m_browser, [this] {
        QUrl url = HelpBookUrl();
        url.setFragment(QStringLiteral("contents"));
        m_browser->setSource(url);
        m_browser->scrollToAnchor(url.fragment());
    });
    // Escape and Ctrl+W close it, as they close any window of its kind.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);
    ResizeToFitScreen(this, QSize(560, 480));
    // Beside the window it belongs to, not over it at the screen's corner.
    if (owner) {
        const QRect room = owner->screen()->availableGeometry();
        QRect place(owner->window()->frameGeometry().topRight() + QPoint(16, 0), size());
        if (!room.contains(place))
            place.moveCenter(owner->window()->frameGeometry().center());
        move(place.topLeft());
    }
    g_helpWindow = this;
}

HelpWindow* HelpWindow::Current() {
    return g_helpWindow;
}

void ShowHelpTopic(int topic, QWidget* from) {
    // Over a modal window the help must belong to it, or the modal window blocks it.
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner && from)
        owner = from->window();
    if (g_helpWindow && g_helpWindow->parentWidget() != owner)
        delete g_helpWindow.data();
    HelpWindow* window = g_helpWindow ? g_helpWindow.data() : new HelpWindow(owner);
    QUrl url = HelpBookUrl();
    url.setFragment(topic ? QString::fromStdString(jobs::HelpAnchor(topic))
                          : QStringLiteral("contents"));
    window->Browser()->setSource(url);
    window->Browser()->scrollToAnchor(url.fragment());
    window->show();
    window->raise();
    window->activateWindow();
}

void SetHelpId(QWidget* control, int id) {
    control->setProperty(kHelpIdProperty, id);
}

int HelpIdOf(const QWidget* control) {
    const QVariant id = control->property(kHelpIdProperty);
    if (id.isValid())
        return id.toInt();
    auto* button = qobject_cast<const QAbstractButton*>(control);
    auto* box = button ? qobject_cast<const QDialogButtonBox*>(control->parentWidget()) : nullptr;
    if (!box)
        return 0;
    switch (box->buttonRole(const_cast<QAbstractButton*>(button))) {
    case QDialogButtonBox::AcceptRole:
    case QDialogButtonBox::YesRole:
        return kOkId;
    case QDialogButtonBox::RejectRole:
    case QDialogButtonBox::NoRole:
        return kCancelId;
    case QDialogButtonBox::HelpRole:
        return jobs::kHelpButtonId;
    default:
        return 0;
    }
}

bool ShowControlHelp(QWidget* control, jobs::WindowHelp help) {
    for (QWidget* w = control; w; w = w->isWindow() ? nullptr : w->parentWidget()) {
        const int id = HelpIdOf(w);
        if (!id)
            continue;
        const QString text = TopicText(jobs::ControlHelpTopic(id, help));
        if (text.isEmpty())
            return false;
        QWhatsThis::showText(w->mapToGlobal(QPoint(w->width() / 2, w->height())), text, w);
        return true;
    }
    return false;
}

void InstallHelp(QWidget* window, jobs::WindowHelp help, TopicSource windowTopic) {
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (const int id = HelpIdOf(control)) {
            const QString text = TopicText(jobs::ControlHelpTopic(id, help));
            if (!text.isEmpty())
                control->setWhatsThis(text);
        }
    }
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), window);
    QObject::connect(f1, &QShortcut::activated, window, [window, help, windowTopic] {
        QWidget* focus = QApplication::focusWidget();
        if (focus && focus->window() == window && ShowControlHelp(focus, help))
            return;
        ShowHelpTopic(windowTopic(), window);
    });
    auto* whatsThis = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1), window);
    QObject::connect(whatsThis, &QShortcut::activated, window,
                     [] { QWhatsThis::enterWhatsThisMode(); });
}

void InstallHelp(QWidget* window, jobs::WindowHelp help, int windowTopic) {
    InstallHelp(window, help, [windowTopic] { return windowTopic; });
}

QPushButton* AddHelpButton(QDialogButtonBox* buttons, int windowTopic) {
    return AddHelpButton(buttons, [windowTopic] { return windowTopic; });
}

QPushButton* AddHelpButton(QDialogButtonBox* buttons, TopicSource windowTopic) {
    // The standard buttons get an Alt key like every other control.
    for (auto [which, text] :
         {std::pair{QDialogButtonBox::Ok, "&OK"}, std::pair{QDialogButtonBox::Cancel, "&Cancel"},
          std::pair{QDialogButtonBox::Apply, "Appl&y"}}) {
        QPushButton* button = buttons->button(which);
        if (button && !button->text().contains(QLatin1Char('&')))
            button->setText(QString::fromLatin1(text));
    }
    QPushButton* help = buttons->addButton(Text(kHelpButtonText), QDialogButtonBox::HelpRole);
    help->setObjectName(QStringLiteral("help"));
    help->setAutoDefault(false);
    QObject::connect(buttons, &QDialogButtonBox::helpRequested, buttons,
                     [buttons, windowTopic] { ShowHelpTopic(windowTopic(), buttons); });
    return help;
}

} // namespace ui
