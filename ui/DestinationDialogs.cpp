// The destination windows.
#include "ui/DestinationDialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstring>

#include "data/AppSettings.h"
#include "ui/Help.h"
#include "ui/MessageWindows.h"

namespace ui {
namespace {
constexpr int kSelectCaption = 51120;
constexpr int kNumberLabel = 51121;
constexpr int kNew = 51122;
constexpr int kEdit = 51123;
constexpr int kDelete = 51124;
constexpr int kSend = 51125;
constexpr int kReselect = 51126;
constexpr int kPhoneBookLabel = 51127;
constexpr int kEditCaption = 51130;
constexpr int kNameLabel = 51131;
constexpr int kDialedLabel = 51132;
constexpr int kPrefixIntro = 51133;
constexpr int kPrefixes[] = {51134, 51135, 51136};
constexpr int kTelephoneCaption = 51140;
constexpr int kTelephoneIntro = 51141;
constexpr int kTelephoneReminder = 51142;
constexpr int kTelephoneWarn = 51143;
constexpr int kRevise = 51144;
constexpr int kDestinationHeading = 50305;
constexpr int kNumberHeading = 50306;

QLineEdit* LimitedField() {
    auto* field = new QLineEdit;
    field->setMaxLength(jobs::kDestinationFieldLimit);
    field->setMinimumWidth(field->fontMetrics().averageCharWidth() * 40);
    return field;
}

} // namespace

jobs::TelephoneNumberPrompt TelephonePrompt(QWidget* parent) {
    return [parent](const std::string& number, bool& keepWarning) {
        TelephoneNumberDialog dialog(QString::fromStdString(number), parent);
        const int result = dialog.exec();
        keepWarning = dialog.KeepWarning();
        return result == QDialog::Accepted;
    };
}

TelephoneNumberDialog::TelephoneNumberDialog(const QString& number, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(Text(kTelephoneCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->addWidget(new QLabel(Text(kTelephoneIntro)));
    auto* shown = new QLabel(number);
    QFont big = shown->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.3);
    shown->setFont(big);
    shown->setTextFormat(Qt::PlainText);
    shown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    shown->setContentsMargins(12, 4, 12, 4);
    layout->addWidget(shown);
    // Letters and other characters a modem does not dial are pointed out before the call.
    if (const std::string odd = jobs::UndialableCharacters(number.toStdString()); !odd.empty()) {
        auto* undialable = new QLabel(
            QStringLiteral("A modem dials only digits, blanks and - ( ) + , * # ~. It will not "
                           "dial %1 in this number: revise it unless that is what you mean.")
                .arg(QString::fromStdString(odd)));
        undialable->setObjectName(QStringLiteral("undialable"));
        undialable->setWordWrap(true);
        undialable->setTextFormat(Qt::PlainText);
        undialable->setStyleSheet(QStringLiteral("font-weight: bold"));
        layout->addWidget(undialable);
    }
    auto* reminder = new QLabel(Text(kTelephoneReminder));
    reminder->setWordWrap(true);
    reminder->setMinimumWidth(380);
    layout->addWidget(reminder);
    m_warn = new QCheckBox(Text(kTelephoneWarn));
    m_warn->setChecked(true);
    layout->addSpacing(4);
    layout->addWidget(m_warn);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    m_revise = buttons->addButton(Text(kRevise), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_revise, &QPushButton::clicked, this, [this] { done(jobs::kResultRevise); });
    layout->addWidget(buttons);
    SetHelpId(shown, 1058);
    SetHelpId(m_warn, 1059);
    SetHelpId(m_revise, 1102);
    InstallHelp(this, jobs::kTelephoneNumberHelp, jobs::WindowTopic(jobs::kTelephoneNumberWindow));
}

bool TelephoneNumberDialog::KeepWarning() const {
    return m_warn->isChecked();
}

EditDestinationDialog::EditDestinationDialog(data::AppSettings& settings, const QString& name,
                                             const QString& number, QWidget* parent)
    : QDialog(parent), m_settings{settings} {
    setWindowTitle(Text(kEditCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    auto* form = new QFormLayout;
    m_name = LimitedField();
    m_number = LimitedField();
    m_name->setText(name);
    m_number->setText(number);
    m_shownNumber = number;
    form->addRow(Text(kNameLabel), m_name);
    form->addRow(Text(kDialedLabel), m_number);
    m_name->setAccessibleName(Text(kNameLabel).remove('&'));
    m_number->setAccessibleName(Text(kDialedLabel).remove('&'));
    layout->addLayout(form);
    QString prefixes = Text(kPrefixIntro) + QStringLiteral("<ul style=\"margin-top:4px\">");
    for (int id : kPrefixes)
        prefixes += QStringLiteral("<li>") + Text(id).toHtmlEscaped() + QStringLiteral("</li>");
    prefixes += QStringLiteral("</ul>");
    auto* hint = new QLabel(prefixes);
    hint->setWordWrap(true);
    hint->setTextFormat(Qt::RichText);
    layout->addWidget(hint);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &EditDestinationDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    SetHelpId(m_name, 1023);
    SetHelpId(m_number, 1010);
    InstallHelp(this, jobs::kEditDestinationHelp, jobs::WindowTopic(jobs::kEditDestinationWindow));
}

QString EditDestinationDialog::Name() const {
    return m_name->text();
}
QString EditDestinationDialog::Number() const {
    return m_number->text();
}

void EditDestinationDialog::accept() {
    if (jobs::ConfirmEditDestination(m_settings, Name().toStdString(), Number().toStdString(),
                                     TelephonePrompt(this), m_shownNumber.toStdString()))
        QDialog::accept();
}

SelectDestinationDialog::SelectDestinationDialog(data::AppSettings& settings, QWidget* parent)
    : QDialog(parent), m_settings{settings} {
    setWindowTitle(Text(kSelectCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    auto* listLabel = new QLabel(Text(kPhoneBookLabel));
    layout->addWidget(listLabel);
    auto* middle = new QHBoxLayout;
    m_list = new QTreeWidget;
    m_list->setColumnCount(2);
    m_list->setHeaderLabels({Text(kDestinationHeading), Text(kNumberHeading)});
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setAlternatingRowColors(true);
    m_list->header()->setSectionsClickable(true);
    m_list->header()->setSectionResizeMode(QHeaderView::Stretch);
    m_list->setMinimumSize(420, 220);
    m_list->setAccessibleName(listLabel->text().remove('&'));
    listLabel->setBuddy(m_list);
    middle->addWidget(m_list, 1);
    auto* side = new QVBoxLayout;
    auto sideButton = [&](const char* name, int text) { return AddListButton(side, name, text); };
    connect(sideButton("new", kNew), &QPushButton::clicked, this,
            &SelectDestinationDialog::NewEntry);
    connect(sideButton("edit", kEdit), &QPushButton::clicked, this,
            &SelectDestinationDialog::EditEntry);
    connect(sideButton("delete", kDelete), &QPushButton::clicked, this,
            &SelectDestinationDialog::DeleteEntry);
    side->addStretch(1);
    middle->addLayout(side);
    layout->addLayout(middle);

    auto* numberRow = new QFormLayout;
    m_number = LimitedField();
    numberRow->addRow(Text(kNumberLabel), m_number);
    m_number->setAccessibleName(Text(kNumberLabel).remove('&'));
    layout->addLayout(numberRow);

    auto* buttons = new QDialogButtonBox;
    auto* send = buttons->addButton(Text(kSend), QDialogButtonBox::AcceptRole);
    send->setObjectName(QStringLiteral("send"));
    send->setDefault(true);
    auto* reselect = buttons->addButton(Text(kReselect), QDialogButtonBox::ActionRole);
    reselect->setObjectName(QStringLiteral("reselect"));
    buttons->addButton(QDialogButtonBox::Cancel);
    AddHelpButton(buttons, jobs::WindowTopic(jobs::kSelectDestinationWindow));
    connect(buttons, &QDialogButtonBox::accepted, this, &SelectDestinationDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(reselect, &QPushButton::clicked, this, [this] { done(jobs::kResultReselectFiles); });
    layout->addWidget(buttons);

    connect(m_list, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        m_logic.SelectRow(static_cast<std::size_t>(m_list->indexOfTopLevelItem(item)));
        ShowFields();
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        m_logic.SelectRow(static_cast<std::size_t>(m_list->indexOfTopLevelItem(item)));
        ShowFields();
        EditEntry();
    });
    connect(m_list->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        m_logic.SortByColumn(column);
        Rebuild();
    });
    // Only the user's own typing makes the number count as typed: a number shown from a
    // picked row keeps the row's name.
    connect(m_number, &QLineEdit::textEdited, this, [this](const QString& text) {
        m_logic.NumberEdited(text.toStdString());
        UpdateButtons();
    });
    for (auto [control, id] :
         std::initializer_list<std::pair<QWidget*, int>>{{m_list, 1007},
                                                         {m_number, 1010},
                                                         {Button("new"), 1042},
                                                         {Button("edit"), 1043},
                                                         {Button("delete"), 1044},
                                                         {reselect, 1045}})
        SetHelpId(control, id);
    InstallHelp(this, jobs::kSelectDestinationHelp,
                jobs::WindowTopic(jobs::kSelectDestinationWindow));
}

QPushButton* SelectDestinationDialog::Button(const char* name) const {
    return findChild<QPushButton*>(QString::fromLatin1(name));
}

void SelectDestinationDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_opened)
        return;
    m_opened = true;
    m_logic.Open();
    Rebuild();
    if (m_logic.List().Selected())
        m_list->setFocus();
}

void SelectDestinationDialog::Rebuild() {
    m_list->clear();
    for (const data::PhoneBookEntry& entry : m_logic.List().Rows()) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setText(0, QString::fromStdString(entry.name));
        item->setText(1, QString::fromStdString(entry.number));
        if (entry.selected)
            m_list->setCurrentItem(item);
    }
    ShowFields();
}

void SelectDestinationDialog::ShowFields() {
    const auto selected = m_logic.List().Selected();
    if (selected)
        m_list->setCurrentItem(m_list->topLevelItem(static_cast<int>(*selected)));
    else
        m_list->clearSelection();
    m_number->setText(QString::fromStdString(m_logic.Number()));
    UpdateButtons();
}

void SelectDestinationDialog::UpdateButtons() {
    Button("edit")->setEnabled(m_logic.EditEnabled());
    Button("delete")->setEnabled(m_logic.DeleteEnabled());
    Button("send")->setEnabled(m_logic.SendEnabled());
}

void SelectDestinationDialog::NewEntry() {
    EditDestinationDialog edit(m_settings, QString(), QString(), this);
    if (edit.exec() == QDialog::Accepted) {
        m_logic.AddEntry(edit.Name().toStdString(), edit.Number().toStdString());
        Rebuild();
        m_list->setFocus();
    }
    Button("send")->setDefault(true);
}

void SelectDestinationDialog::EditEntry() {
    const auto selected = m_logic.List().Selected();
    if (!selected)
        return;
    const data::PhoneBookEntry& entry = m_logic.List().Rows()[*selected];
    EditDestinationDialog edit(m_settings, QString::fromStdString(entry.name),
                               QString::fromStdString(entry.number), this);
    if (edit.exec() == QDialog::Accepted) {
        m_logic.EditSelected(edit.Name().toStdString(), edit.Number().toStdString());
        Rebuild();
        m_list->setFocus();
    }
    Button("send")->setDefault(true);
}

void SelectDestinationDialog::DeleteEntry() {
    if (m_logic.DeleteSelected())
        Rebuild();
    Button("send")->setDefault(true);
}

void SelectDestinationDialog::accept() {
    if (m_logic.ConfirmSend(m_settings, TelephonePrompt(this)))
        QDialog::accept();
}

void SelectDestinationDialog::done(int result) {
    // Additions, edits and deletions stay in the phone book however the window closes.
    if (!m_closed) {
        m_closed = true;
        m_logic.Close();
    }
    QDialog::done(result);
}

} // namespace ui
