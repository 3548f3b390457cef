// The modem window.
#include "ui/ModemsDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "comm/ModemDetector.h"
#include "comm/ModemInstaller.h"
#include "platform/NetAddress.h"
#include "platform/VirtualModem.h"
#include "platform/ResourceStrings.h"
#include "ui/Help.h"
#include "ui/MessageWindows.h"

namespace ui {
namespace {
constexpr int kCaption = 51200;
constexpr int kListLabel = 51201;
constexpr int kColumns[] = {51202, 51203, 51204};
constexpr int kSerialGroup = 51205;
constexpr int kVirtualGroup = 51210;
constexpr int kDetectAnswerMs = 1500;
constexpr const char* kDefaultListen = "127.0.0.1:5555";

QPushButton* NamedButton(const char* name, int text) {
    auto* button = new QPushButton(Text(text));
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// The first of COM1 to COM9 that no installed modem uses.
// What a port map value means to a reader: "Virtual, 127.0.0.1:2323, unlimited".
std::string ConnectedToText(const std::string& target) {
    platform::VirtualModemConfig config;
    if (target.rfind("vmodem:", 0) != 0 || !platform::ParseVirtualModemMapValue(target, config))
        return target;
    const bool v6 = config.listenAddress.find(':') != std::string::npos;
    const std::string address = v6 ? "[" + config.listenAddress + "]" : config.listenAddress;
    const std::string where = config.listen ? address + ":" + std::to_string(config.listenPort)
                                            : std::string("no incoming calls");
    const std::string rate =
        config.lineRate == 0 ? std::string("unlimited") : std::to_string(config.lineRate) + " bps";
    return "Virtual, " + where + ", " + rate;
}

QString FreePort() {
    const auto modems = comm::ListInstalledModems();
    for (int n = 1; n <= 9; ++n) {
        bool used = false;
        for (const auto& modem : modems)
            used = used || comm::ParseComPort(modem.port) == n;
        if (!used)
            return QStringLiteral("COM%1").arg(n);
    }
    return {};
}

} // namespace

ModemsDialog::ModemsDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(kCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    auto* label = new QLabel(Text(kListLabel));
    layout->addWidget(label);
    auto* top = new QHBoxLayout;
    m_list = new QTreeWidget;
    m_list->setColumnCount(3);
    m_list->setHeaderLabels({Text(kColumns[0]), Text(kColumns[1]), Text(kColumns[2])});
    m_list->setRootIsDecorated(false);
    m_list->header()->resizeSection(0, 230);
    m_list->header()->resizeSection(1, 60);
    m_list->setMinimumSize(520, 140);
    label->setBuddy(m_list);
    top->addWidget(m_list, 1);
    auto* side = new QVBoxLayout;
    QPushButton* remove = NamedButton("remove", 51215);
    QPushButton* import = NamedButton("import", 51214);
    QPushButton* detect = NamedButton("detect", 51216);
    side->addWidget(remove);
    side->addWidget(import);
    side->addWidget(detect);
    side->addStretch(1);
    top->addLayout(side);
    layout->addLayout(top);

    auto* serial = new QGroupBox(Text(kSerialGroup));
    auto* serialForm = new QFormLayout(serial);
    auto* type = new QComboBox;
    type->setObjectName(QStringLiteral("type"));
    for (const auto& definition : comm::ModemDefinitions())
        if (definition.type != "virtual")
            type->addItem(QString::fromStdString(definition.description),
                          QString::fromStdString(definition.type));
    serialForm->addRow(Text(51206), type);
    auto* port = new QComboBox;
    port->setObjectName(QStringLiteral("port"));
    for (int n = 1; n <= 9; ++n)
        port->addItem(QStringLiteral("COM%1").arg(n));
    serialForm->addRow(Text(51207), port);
    auto* deviceRow = new QHBoxLayout;
    auto* device = new QLineEdit;
    device->setObjectName(QStringLiteral("device"));
    device->setPlaceholderText(QStringLiteral("/dev/ttyUSB0"));
    deviceRow->addWidget(device, 1);
    QPushButton* add = NamedButton("add", 51209);
    deviceRow->addWidget(add);
    serialForm->addRow(Text(51208), deviceRow);
    layout->addWidget(serial);

    auto* virtualGroup = new QGroupBox(Text(kVirtualGroup));
    auto* virtualForm = new QFormLayout(virtualGroup);
    auto* listen = new QLineEdit(QString::fromLatin1(kDefaultListen));
    listen->setObjectName(QStringLiteral("listen"));
    virtualForm->addRow(Text(51211), listen);
    // Anyone who reaches a wider address than loopback can call and send files: said at once.
    auto* exposed = new QLabel;
    exposed->setObjectName(QStringLiteral("listenWarning"));
    exposed->setWordWrap(true);
    virtualForm->addRow(exposed);
    virtualForm->setRowVisible(exposed, false);
    connect(listen, &QLineEdit::textChanged, exposed, [exposed, virtualForm](const QString& text) {
        const std::string warning = platform::ExposedListenWarning(text.trimmed().toStdString());
        exposed->setText(QString::fromStdString(warning));
        virtualForm->setRowVisible(exposed, !warning.empty());
    });
    auto* rateRow = new QHBoxLayout;
    auto* rate = new QComboBox;
    rate->setObjectName(QStringLiteral("rate"));
    rate->setEditable(true);
    for (const char* r :
         {"unlimited", "115200", "57600", "33600", "28800", "14400", "9600", "2400"})
        rate->addItem(QString::fromLatin1(r));
    rateRow->addWidget(rate, 1);
    QPushButton* addVirtual = NamedButton("addVirtual", 51213);
    rateRow->addWidget(addVirtual);
    // The virtual modem's own port: the serial section's choice is for the serial modem.
    auto* virtualPort = new QComboBox;
    virtualPort->setObjectName(QStringLiteral("virtualPort"));
    for (int n = 1; n <= 9; ++n)
        virtualPort->addItem(QStringLiteral("COM%1").arg(n));
    virtualForm->addRow(QStringLiteral("CO&M port:"), virtualPort);
    virtualForm->addRow(Text(51212), rateRow);
    layout->addWidget(virtualGroup);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
    AddHelpButton(buttons, jobs::WindowTopic(jobs::kModemsWindow));
    layout->addWidget(buttons);
    for (auto [control, id] : std::initializer_list<std::pair<QWidget*, int>>{{m_list, 1121},
                                                                              {remove, 1122},
                                                                              {import, 1123},
                                                                              {detect, 1124},
                                                                              {type, 1125},
                                                                              {port, 1126},
                                                                              {device, 1127},
                                                                              {add, 1128},
                                                                              {listen, 1129},
                                                                              {rate, 1130},
                                                                              {addVirtual, 1131}})
        SetHelpId(control, id);
    InstallHelp(this, jobs::kNoButtonHelp, jobs::WindowTopic(jobs::kModemsWindow));
    GiveRowLabelsBuddies(this);

    connect(add, &QPushButton::clicked, this, &ModemsDialog::AddOnPort);
    connect(addVirtual, &QPushButton::clicked, this, &ModemsDialog::AddVirtual);
    connect(remove, &QPushButton::clicked, this, &ModemsDialog::RemoveSelected);
    connect(detect, &QPushButton::clicked, this, &ModemsDialog::Detect);
    connect(import, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, Text(51220), QString(),
                                                          QStringLiteral("REGEDIT4 (*.reg)"));
        if (!file.isEmpty())
            Import(file);
    });
    connect(m_list, &QTreeWidget::itemSelectionChanged, this,
            [this] { Button("remove")->setEnabled(!m_list->selectedItems().isEmpty()); });
    Refresh();
}

QLineEdit* ModemsDialog::Field(const char* name) const {
    return findChild<QLineEdit*>(QString::fromLatin1(name));
}
QComboBox* ModemsDialog::Choice(const char* name) const {
    return findChild<QComboBox*>(QString::fromLatin1(name));
}
QPushButton* ModemsDialog::Button(const char* name) const {
    return findChild<QPushButton*>(QString::fromLatin1(name));
}

void ModemsDialog::Refresh() {
    m_list->clear();
    for (const auto& modem : comm::ListInstalledModems()) {
        const int port = comm::ParseComPort(modem.port);
        std::string target = modem.portTarget;
        if (target.empty() && port != 0)
            target = "/dev/ttyS" + std::to_string(port - 1);
        auto* item = new QTreeWidgetItem(m_list, {QString::fromStdString(modem.name),
                                                  QString::fromStdString(modem.port),
                                                  QString::fromStdString(ConnectedToText(target))});
        item->setToolTip(2, QString::fromStdString(target));
    }
    Button("remove")->setEnabled(false);
    const QString free = FreePort();
    if (!free.isEmpty()) {
        Choice("port")->setCurrentText(free);
        Choice("virtualPort")->setCurrentText(free);
    }
}

void ModemsDialog::Report(bool ok, const std::string& message) {
    if (!message.empty() && !ok) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(message));
    } else if (!message.empty()) {
        QMessageBox::information(this, windowTitle(), QString::fromStdString(message));
    }
    Refresh();
}

void ModemsDialog::AddOnPort() {
    const auto definition =
        comm::FindModemDefinition(Choice("type")->currentData().toString().toStdString());
    if (!definition)
        return;
    const comm::InstallResult result =
        comm::InstallModem(definition->text, Choice("port")->currentText().toStdString(),
                           Field("device")->text().trimmed().toStdString());
    Report(result.ok, result.message);
}

void ModemsDialog::AddVirtual() {
    const std::string value =
        comm::VirtualModemMapValue(Field("listen")->text().trimmed().toStdString(),
                                   Choice("rate")->currentText().toStdString());
    const auto definition = comm::FindModemDefinition("virtual");
    if (value.empty() || !definition) {
        Report(false, "'" + Field("listen")->text().toStdString() + "' at '" +
                          Choice("rate")->currentText().toStdString() +
                          "' bits per second is not a valid virtual modem.");
        return;
    }
    comm::InstallResult result = comm::InstallModem(
        definition->text, Choice("virtualPort")->currentText().toStdString(), value);
    const std::string warning =
        platform::ExposedListenWarning(Field("listen")->text().trimmed().toStdString());
    if (result.ok && !warning.empty())
        result.message += warning;
    Report(result.ok && warning.empty(), result.message);
}

void ModemsDialog::Import(const QString& file) {
    const comm::InstallResult result = comm::ImportModemFile(file.toStdString(), std::string());
    Report(result.ok, result.message);
}

void ModemsDialog::RemoveSelected() {
    const auto items = m_list->selectedItems();
    if (items.isEmpty())
        return;
    const comm::InstallResult result = comm::RemoveModem(items[0]->text(0).toStdString());
    Report(result.ok, result.message);
}

void ModemsDialog::Detect() {
    const auto devices = comm::SerialDeviceCandidates();
    if (devices.empty()) {
        Report(true, platform::ResourceText(51218));
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::string found;
    for (const std::string& device : devices) {
        auto modem = comm::ProbeModem(device, comm::DetectionRates(), kDetectAnswerMs);
        if (!modem)
            continue;
        const QString port = FreePort();
        const auto definition = comm::FindModemDefinition("hayes");
        if (port.isEmpty() || !definition)
            break;
        if (comm::InstallModem(definition->text, port.toStdString(), modem->device).ok)
            found +=
                Text(51219).arg(QString::fromStdString(modem->device), port).toStdString() + "\n";
    }
    QApplication::restoreOverrideCursor();
    Report(true, found.empty() ? platform::ResourceText(51217) : found);
}

} // namespace ui
