// The options sheet.
#include "ui/OptionsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QValidator>
#include <QDir>

#include <cstring>

#include "comm/ModemDiscovery.h"
#include "data/AppSettings.h"
#include "data/TextFields.h"
#include "ui/Help.h"
#include "ui/MessageWindows.h"
#include "ui/ModemsDialog.h"

namespace ui {
namespace {
constexpr int kCaption = 50302;
constexpr int kSelectFolderTitle = 50301;
constexpr int kTabs[] = {51150, 51151, 51152};

QComboBox* TextList(const std::vector<std::string>& choices) {
    auto* list = new QComboBox;
    for (const std::string& choice : choices)
        list->addItem(QString::fromStdString(choice));
    return list;
}

QComboBox* PositionList(std::initializer_list<int> ids) {
    auto* list = new QComboBox;
    for (int id : ids)
        list->addItem(Text(id));
    return list;
}

// Refuses typing beyond the limit; a stored text set by the program is shown whole, and a
// text over the limit is refused with 61716 when the page is left.
class LengthValidator : public QValidator {
  public:
    LengthValidator(int limit, QObject* parent) : QValidator(parent), m_limit{limit} {}
    State validate(QString& input, int&) const override {
        return input.toUtf8().size() <= m_limit ? Acceptable : Invalid;
    }

  private:
    int m_limit;
};

QLineEdit* NamedField(const char* name, int limit) {
    auto* field = new QLineEdit;
    field->setObjectName(QString::fromLatin1(name));
    if (limit > 0)
        field->setValidator(new LengthValidator(limit, field));
    field->setMinimumWidth(field->fontMetrics().averageCharWidth() * 36);
    return field;
}

std::string ListText(const QComboBox* list) {
    return list->currentIndex() < 0 ? std::string() : list->currentText().toStdString();
}

} // namespace

OptionsDialog::OptionsDialog(data::AppSettings& settings, int firstPage, QWidget* parent)
    : QDialog(parent), m_settings{settings}, m_logic{settings} {
    setWindowTitle(Text(kCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    m_tabs = new QTabWidget;
    m_tabs->addTab(SendPage(), Text(kTabs[0]));
    m_tabs->addTab(ReceivePage(), Text(kTabs[1]));
    m_tabs->addTab(ModemPage(), Text(kTabs[2]));
    layout->addWidget(m_tabs);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::Apply);
    m_apply = buttons->button(QDialogButtonBox::Apply);
    m_apply->setEnabled(false);
    auto pageTopic = [this] {
        constexpr int kPages[] = {jobs::kSendPage, jobs::kReceivePage, jobs::kModemPage};
        return jobs::WindowTopic(kPages[std::clamp(m_tabs->currentIndex(), 0, 2)]);
    };
    AddHelpButton(buttons, pageTopic);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_apply, &QPushButton::clicked, this, [this] {
        if (TakePage(m_currentPage))
            m_apply->setEnabled(false);
    });

    ShowValues();
    m_currentPage = std::clamp(firstPage, 0, 2);
    m_tabs->setCurrentIndex(m_currentPage);
    // Leaving a page takes its values; a refused value keeps the page showing.
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int page) {
        if (m_showing || page == m_currentPage)
            return;
        if (!TakePage(m_currentPage)) {
            m_showing = true;
            m_tabs->setCurrentIndex(m_currentPage);
            m_showing = false;
            return;
        }
        m_currentPage = page;
    });
    for (auto [name, id] :
         std::initializer_list<std::pair<const char*, int>>{{"stationName", 1013},
                                                            {"stationPhone", 1014},
                                                            {"attempts", 1021},
                                                            {"delay", 1016},
                                                            {"receiveFolder", 1087},
                                                            {"selectFolder", 1020},
                                                            {"answer", 1015},
                                                            {"macBinary", 1039},
                                                            {"modem", 1037},
                                                            {"modems", 1120},
                                                            {"speed", 1063},
                                                            {"speaker", 1064},
                                                            {"flow", 1065},
                                                            {"type", 1086},
                                                            {"extra", 1066}})
        SetHelpId(findChild<QWidget*>(QString::fromLatin1(name)), id);
    InstallHelp(this, jobs::kNoButtonHelp, pageTopic);
    GiveRowLabelsBuddies(this);
}

QLineEdit* OptionsDialog::Field(const char* name) const {
    return findChild<QLineEdit*>(QString::fromLatin1(name));
}

QComboBox* OptionsDialog::List(const char* name) const {
    return findChild<QComboBox*>(QString::fromLatin1(name));
}

QWidget* OptionsDialog::SendPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* station = new QGroupBox(Text(51153));
    auto* stationForm = new QFormLayout(station);
    stationForm->addRow(Text(51155), NamedField("stationName", jobs::kStationFieldLimit));
    stationForm->addRow(Text(51156), NamedField("stationPhone", jobs::kStationFieldLimit));
    layout->addWidget(station);
    auto* retry = new QGroupBox(Text(51154));
    auto* retryForm = new QFormLayout(retry);
    QComboBox* attempts = TextList(jobs::AttemptChoices());
    attempts->setObjectName(QStringLiteral("attempts"));
    retryForm->addRow(Text(51157), attempts);
    auto* delayRow = new QHBoxLayout;
    QComboBox* delay = TextList(jobs::DelayChoices());
    delay->setObjectName(QStringLiteral("delay"));
    delayRow->addWidget(delay);
    delayRow->addWidget(new QLabel(Text(51159)));
    delayRow->addStretch(1);
    retryForm->addRow(Text(51158), delayRow);
    layout->addWidget(retry);
    layout->addStretch(1);
    return page;
}

QWidget* OptionsDialog::ReceivePage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* folderGroup = new QGroupBox(Text(51160));
    auto* folderRow = new QHBoxLayout(folderGroup);
    QLineEdit* folder = NamedField("receiveFolder", 259);
    folder->setAccessibleName(Text(51160));
    folderRow->addWidget(folder, 1);
    auto* choose = new QPushButton(Text(51161));
    choose->setObjectName(QStringLiteral("selectFolder"));
    folderRow->addWidget(choose);
    connect(choose, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(this, Text(kSelectFolderTitle),
                                                                 Field("receiveFolder")->text());
        if (!chosen.isEmpty())
            FolderChosen(chosen);
    });
    layout->addWidget(folderGroup);
    auto* form = new QFormLayout;
    auto* answerRow = new QHBoxLayout;
    QComboBox* answer = TextList(jobs::AnswerChoices());
    answer->setObjectName(QStringLiteral("answer"));
    answerRow->addWidget(answer);
    answerRow->addWidget(new QLabel(Text(51163)));
    answerRow->addStretch(1);
    form->addRow(Text(51162), answerRow);
    QComboBox* macBinary = PositionList({51165, 51166, 51167});
    macBinary->setObjectName(QStringLiteral("macBinary"));
    form->addRow(Text(51164), macBinary);
    layout->addLayout(form);
    layout->addStretch(1);
    return page;
}

QWidget* OptionsDialog::ModemPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    auto* modemRow = new QHBoxLayout;
    auto* modems = new QComboBox;
    modems->setObjectName(QStringLiteral("modem"));
    modems->setMinimumContentsLength(28);
    modemRow->addWidget(modems, 1);
    auto* manage = new QPushButton(Text(51185));
    manage->setObjectName(QStringLiteral("modems"));
    modemRow->addWidget(manage);
    connect(manage, &QPushButton::clicked, this, [this] {
        ModemsDialog window(this);
        window.exec();
        RefreshModems();
    });
    form->addRow(Text(51170), modemRow);
    auto* speed = new QComboBox;
    speed->setObjectName(QStringLiteral("speed"));
    for (std::uint32_t rate : data::kPortSpeeds)
        speed->addItem(QString::number(rate));
    form->addRow(Text(51171), speed);
    QComboBox* speaker = PositionList({51173, 51174, 51175, 51176});
    speaker->setObjectName(QStringLiteral("speaker"));
    form->addRow(Text(51172), speaker);
    QComboBox* flow = PositionList({51178, 51179});
    flow->setObjectName(QStringLiteral("flow"));
    form->addRow(Text(51177), flow);
    QComboBox* type = PositionList({51181, 51182, 51183});
    type->setObjectName(QStringLiteral("type"));
    form->addRow(Text(51180), type);
    form->addRow(Text(51184), NamedField("extra", jobs::kExtraSettingsLimit));
    layout->addLayout(form);
    layout->addStretch(1);
    return page;
}

void OptionsDialog::RefreshModems() {
    QComboBox* list = List("modem");
    const bool wasShowing = m_showing;
    m_showing = true;
    list->clear();
    comm::ModemListModel modems;
    for (std::size_t i = 0; i < modems.Names().size(); ++i)
        list->addItem(QString::fromStdString(modems.Names()[i]),
                      QVariant::fromValue(modems.DeviceIds()[i]));
    // The stored name, without regard to case; else the first modem.
    int selected = list->count() > 0 ? 0 : -1;
    for (int i = 0; i < list->count(); ++i)
        if (data::CompareTextsNoCase(list->itemText(i).toStdString(), m_logic.Modem().modem) == 0)
            selected = i;
    list->setCurrentIndex(selected);
    m_showing = wasShowing;
}

void OptionsDialog::ShowValues() {
    m_showing = true;
    Field("stationName")->setText(QString::fromStdString(m_logic.Send().name));
    Field("stationPhone")->setText(QString::fromStdString(m_logic.Send().phone));
    List("attempts")
        ->setCurrentIndex(jobs::ChoiceFor(jobs::AttemptChoices(), m_logic.Send().attempts));
    List("delay")->setCurrentIndex(jobs::ChoiceFor(jobs::DelayChoices(), m_logic.Send().delay));
    Field("receiveFolder")->setText(QString::fromStdString(m_logic.Receive().folder));
    List("answer")->setCurrentIndex(
        jobs::ChoiceFor(jobs::AnswerChoices(), m_logic.Receive().answer));
    List("macBinary")->setCurrentIndex(m_logic.Receive().macBinary);
    RefreshModems();
    List("speed")->setCurrentIndex(m_logic.Modem().speed);
    List("speaker")->setCurrentIndex(m_logic.Modem().speaker);
    List("flow")->setCurrentIndex(m_logic.Modem().flow);
    List("type")->setCurrentIndex(m_logic.Modem().type);
    Field("extra")->setText(QString::fromStdString(m_logic.Modem().extra));
    m_showing = false;
    // Any change of a text or a choice marks the sheet modified.
    for (QLineEdit* field : findChildren<QLineEdit*>())
        connect(field, &QLineEdit::textChanged, this, &OptionsDialog::Modified,
                Qt::UniqueConnection);
    for (QComboBox* list : findChildren<QComboBox*>())
        connect(list, &QComboBox::currentIndexChanged, this, &OptionsDialog::Modified,
                Qt::UniqueConnection);
}

void OptionsDialog::Modified() {
    if (!m_showing)
        m_apply->setEnabled(true);
}

bool OptionsDialog::TakePage(int page) {
    bool taken = true;
    QLineEdit* refused = nullptr;
    switch (page) {
    case kSendPage:
        taken = m_logic.TakeSend({Field("stationName")->text().toStdString(),
                                  Field("stationPhone")->text().toStdString(),
                                  ListText(List("attempts")), ListText(List("delay"))});
        if (!taken)
            refused = Field("stationName")->text().size() > jobs::kStationFieldLimit
                          ? Field("stationName")
                          : Field("stationPhone");
        break;
    case kReceivePage:
        taken = m_logic.TakeReceive({Field("receiveFolder")->text().toStdString(),
                                     ListText(List("answer")), List("macBinary")->currentIndex()});
        if (!taken)
            refused = Field("receiveFolder");
        break;
    case kModemPage:
        taken =
            m_logic.TakeModem({ListText(List("modem")), List("speed")->currentIndex(),
                               List("speaker")->currentIndex(), List("flow")->currentIndex(),
                               List("type")->currentIndex(), Field("extra")->text().toStdString()});
        if (!taken)
            refused = Field("extra");
        break;
    default:
        break;
    }
    if (refused)
        refused->setFocus();
    return taken;
}

void OptionsDialog::FolderChosen(const QString& folder) {
    Field("receiveFolder")->setText(QDir::toNativeSeparators(folder));
    m_apply->setEnabled(true);
}

void OptionsDialog::accept() {
    // OK takes the page showing first; a refused value keeps the sheet open.
    if (TakePage(m_currentPage))
        QDialog::accept();
}

void OptionsDialog::done(int result) {
    // Whichever button closed the sheet, what the pages hold goes into the settings.
    if (!m_closed) {
        m_closed = true;
        m_logic.CopyInto(m_settings);
        data::SaveSettings(m_settings);
    }
    QDialog::done(result);
}

} // namespace ui
