// The sending half of the desktop program: Select Files, Select Destination with the
// Telephone Number and Edit Destination windows, what the send list keeps, and a whole send
// from the main window to sendari-cli receive.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>

#include "comm/ModemInstaller.h"
#include "data/AppSettings.h"
#include "data/PhoneBook.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/DestinationDialogs.h"
#include "ui/MainWindow.h"
#include "ui/MessageWindows.h"
#include "ui/SelectFilesDialog.h"
#include "ui/TransferDialog.h"

namespace fs = std::filesystem;

namespace {

bool BrowserShows(ui::SelectFilesDialog& dialog, int entries) {
    return uitest::RunUntil([&] {
        return dialog.Browser()->model()->rowCount(dialog.Browser()->rootIndex()) >= entries;
    });
}

// Picks names in the browser and presses Add, as a user would.
void AddFromBrowser(ui::SelectFilesDialog& dialog, const QString& folder, const QStringList& names,
                    int entriesInFolder) {
    dialog.SetFolder(folder);
    ASSERT_TRUE(BrowserShows(dialog, entriesInFolder));
    dialog.SelectInBrowser(names);
    dialog.Button("add")->click();
}

// In the browser with keys only: opens each folder of `folders` in turn by typing its name and
// Enter, then adds each file whose name begins with one of `files` the same way.
void PickByKeyboard(ui::SelectFilesDialog& dialog, const QStringList& folders,
                    const QStringList& files) {
    QWidget* browser = dialog.Browser();
    browser->setFocus();
    auto typeAndEnter = [&](const QString& start) {
        QTest::qWait(QApplication::keyboardInputInterval() + 50); // a new search
        QTest::keyClicks(browser, start);
        QTest::keyClick(browser, Qt::Key_Return);
    };
    for (const QString& folder : folders) {
        const QString next = QDir(dialog.Folder()).filePath(folder);
        EXPECT_TRUE(uitest::RunUntil([&] {
            return dialog.Browser()->model()->rowCount(dialog.Browser()->rootIndex()) > 0;
        }));
        typeAndEnter(folder);
        EXPECT_EQ(dialog.Folder(), next);
    }
    EXPECT_TRUE(BrowserShows(dialog, static_cast<int>(files.size()) + 1));
    for (const QString& file : files)
        typeAndEnter(file);
}

TEST(SelectFilesDialogTest, AddsFromTheBrowserAndEnablesOnlyWhatCanAct) {
    testsupport::TempDir temp;
    temp.WriteFile("outbox/first.txt", std::string(3000, 'a'));
    temp.WriteFile("outbox/second file.bin", std::string(500000, 'b'));
    fs::create_directories(temp / "outbox/folder");
    std::vector<std::string> sendList;
    const std::string before = fs::current_path().string();
    ui::SelectFilesDialog dialog(sendList);
    dialog.show();
    EXPECT_FALSE(dialog.Button("ok")->isEnabled());
    EXPECT_FALSE(dialog.Button("removeAll")->isEnabled());
    EXPECT_FALSE(dialog.Button("remove")->isEnabled());
    AddFromBrowser(dialog, QString::fromStdString(temp / "outbox"), {"first.txt", "folder"}, 3);
    ASSERT_EQ(dialog.List()->topLevelItemCount(), 1) << "a folder is not listed";
    EXPECT_TRUE(dialog.Button("ok")->isEnabled());
    EXPECT_FALSE(dialog.Button("remove")->isEnabled()) << "nothing selected in the list";
    dialog.Button("addAll")->click();
    ASSERT_EQ(dialog.List()->topLevelItemCount(), 2);
    EXPECT_EQ(dialog.TotalLabel()->text(), "492KB");
    EXPECT_EQ(dialog.TimeLabel()->text(), "00:03:21");
    EXPECT_EQ(dialog.List()->topLevelItem(1)->text(jobs::kColumnSize), "489KB");
    EXPECT_EQ(dialog.List()->topLevelItem(1)->textAlignment(jobs::kColumnSize) & Qt::AlignRight,
              Qt::AlignRight);
    // The browser above shows sizes and dates as the list does.
    const auto* cells = qobject_cast<ui::FileBrowserDelegate*>(dialog.Browser()->itemDelegate());
    ASSERT_TRUE(cells);
    const auto* model = dialog.Browser()->model();
    bool compared = false;
    for (int row = 0; row < model->rowCount(dialog.Browser()->rootIndex()); ++row) {
        const QModelIndex name = model->index(row, 0, dialog.Browser()->rootIndex());
        if (name.data().toString() != "second file.bin")
            continue;
        EXPECT_EQ(cells->CellText(name.siblingAtColumn(1)), "489KB");
        EXPECT_EQ(cells->CellText(name.siblingAtColumn(3)),
                  dialog.List()->topLevelItem(1)->text(jobs::kColumnModified));
        compared = true;
    }
    EXPECT_TRUE(compared);
    dialog.resize(900, 680);
    // The tree shows where the files come from: that folder, opened down to and in view.
    QTreeView* tree = dialog.Tree();
    EXPECT_TRUE(uitest::RunUntil([&] {
        const QModelIndex current = tree->currentIndex();
        return current.data(QFileSystemModel::FilePathRole).toString() == dialog.Folder() &&
               tree->viewport()->rect().contains(tree->visualRect(current).center());
    }));
    uitest::Screenshot(&dialog, "select-files");
    // The Size heading: ascending, then descending.
    dialog.List()->header()->sectionClicked(jobs::kColumnSize);
    EXPECT_EQ(dialog.List()->topLevelItem(0)->text(jobs::kColumnSize), "3KB");
    dialog.List()->header()->sectionClicked(jobs::kColumnSize);
    EXPECT_EQ(dialog.List()->topLevelItem(0)->text(jobs::kColumnSize), "489KB");
    dialog.List()->topLevelItem(0)->setSelected(true);
    EXPECT_TRUE(dialog.Button("remove")->isEnabled());
    dialog.Button("remove")->click();
    EXPECT_EQ(dialog.TotalLabel()->text(), "3KB");
    dialog.Button("ok")->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(sendList, std::vector<std::string>{temp / "outbox/first.txt"});
    EXPECT_EQ(fs::current_path().string(), before) << "the browser keeps the current folder";
}

// Keyboard alone: the file list follows the tree's current folder, Enter opens a folder or adds
// the selected files and never presses OK, Delete takes a file off the list; the window opens
// on the folder files were last picked from, with its path editable and a way up. Special
// files are not offered.
TEST(SelectFilesDialogTest, WorksFromTheKeyboardAlone) {
    testsupport::TempDir temp;
    platform::ReloadRegistry();
    temp.WriteFile("outbox/inner/deep/a.txt", "a");
    temp.WriteFile("outbox/inner/deep/b.txt", "bb");
    temp.WriteFile("outbox/other.txt", "other");
    ASSERT_EQ(::mkfifo((temp / "outbox/pipe").c_str(), 0600), 0);
    data::RememberSendFolder(temp / "outbox");
    std::vector<std::string> sendList;
    ui::SelectFilesDialog dialog(sendList);
    dialog.show();
    QTreeView* tree = dialog.Tree();
    ASSERT_EQ(dialog.Folder().toStdString(), temp / "outbox");
    ASSERT_TRUE(BrowserShows(dialog, 2));
    ASSERT_TRUE(uitest::RunUntil([&] {
        return dialog.Browser()->model()->rowCount(dialog.Browser()->rootIndex()) == 2;
    })) << "inner and other.txt, not the pipe";

    tree->setFocus();
    ASSERT_TRUE(uitest::RunUntil([&] {
        tree->model()->fetchMore(tree->currentIndex());
        return tree->model()->rowCount(tree->currentIndex()) == 1;
    }));
    QTest::keyClick(tree, Qt::Key_Right); // expands outbox
    QTest::keyClick(tree, Qt::Key_Down);
    ASSERT_EQ(dialog.Folder().toStdString(), temp / "outbox/inner");
    ASSERT_TRUE(BrowserShows(dialog, 1));

    QWidget* browser = dialog.Browser();
    QTest::keyClick(browser, Qt::Key_Home);
    QTest::keyClick(browser, Qt::Key_Return);
    EXPECT_EQ(dialog.Folder().toStdString(), temp / "outbox/inner/deep");
    ASSERT_TRUE(BrowserShows(dialog, 2));
    QTest::keyClick(browser, Qt::Key_Home);
    QTest::keyClick(browser, Qt::Key_End, Qt::ShiftModifier);
    QTest::keyClick(browser, Qt::Key_Return);
    ASSERT_EQ(dialog.List()->topLevelItemCount(), 2) << "Enter adds every selected file";
    EXPECT_TRUE(dialog.isVisible()) << "Enter never presses OK";

    dialog.List()->setFocus();
    dialog.List()->setCurrentItem(dialog.List()->topLevelItem(0));
    QTest::keyClick(dialog.List(), Qt::Key_Delete);
    EXPECT_EQ(dialog.List()->topLevelItemCount(), 1);
    QTest::keyClick(dialog.List(), Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());

    auto* path = dialog.findChild<QLineEdit*>(QStringLiteral("path"));
    ASSERT_TRUE(path);
    EXPECT_EQ(path->text().toStdString(), temp / "outbox/inner/deep");
    path->setText(QString::fromStdString(temp / "outbox"));
    QTest::keyClick(path, Qt::Key_Return);
    EXPECT_EQ(dialog.Folder().toStdString(), temp / "outbox");
    EXPECT_TRUE(dialog.isVisible());
    dialog.Button("up")->click();
    EXPECT_EQ(dialog.Folder().toStdString(), temp.Path().string());
    dialog.Button("ok")->click();
    EXPECT_EQ(sendList.size(), 1u);
    EXPECT_EQ(data::LastSendFolder(), temp.Path().string());
    platform::ReloadRegistry();
}

struct DestinationDialogTest : testing::Test {
    DestinationDialogTest() {
        fs::create_directories(fs::path(data::PhoneBookPath()).parent_path());
        std::ofstream(data::PhoneBookPath()) << "Harbour Office\t555 0100\nLighthouse\t555 0199\n";
        settings.telephoneCheck = 1;
    }
    testsupport::TempDir temp;
    data::AppSettings settings;
};

TEST_F(DestinationDialogTest, TheTelephoneNumberWindowNamesWhatAModemDoesNotDial) {
    ui::TelephoneNumberDialog letters("555-HELLO");
    letters.show();
    const auto* undialable = letters.findChild<QLabel*>(QStringLiteral("undialable"));
    ASSERT_TRUE(undialable);
    EXPECT_TRUE(undialable->text().contains(QStringLiteral("HELO")))
        << undialable->text().toStdString();
    uitest::Screenshot(&letters, "telephone-number-letters");
    ui::TelephoneNumberDialog digits("555 0100");
    EXPECT_FALSE(digits.findChild<QLabel*>(QStringLiteral("undialable")));
}

TEST_F(DestinationDialogTest, ATypedNumberIsCheckedAndRevisedAndThenTheWarningSwitchedOff) {
    int telephoneWindows = 0;
    uitest::ModalWatcher watcher([&](QWidget* modal) {
        auto* check = qobject_cast<ui::TelephoneNumberDialog*>(modal);
        ASSERT_NE(check, nullptr);
        ++telephoneWindows;
        if (telephoneWindows == 1) {
            uitest::Screenshot(check, "telephone-number");
            QTimer::singleShot(0, check->ReviseButton(), &QPushButton::click);
        } else {
            check->WarnBox()->setChecked(false);
            QTimer::singleShot(0, check, &QDialog::accept);
        }
    });
    ui::SelectDestinationDialog dialog(settings);
    dialog.show();
    ASSERT_EQ(dialog.List()->topLevelItemCount(), 2);
    uitest::Screenshot(&dialog, "select-destination");
    EXPECT_FALSE(dialog.Button("send")->isEnabled());
    QTest::keyClicks(dialog.NumberField(), "9,555 1234");
    EXPECT_TRUE(dialog.Button("send")->isEnabled());
    dialog.Button("send")->click();
    ASSERT_TRUE(uitest::RunUntil(
        [&] { return telephoneWindows == 1 && !QApplication::activeModalWidget(); }));
    EXPECT_TRUE(dialog.isVisible()) << "Revise... goes back with the texts kept";
    EXPECT_EQ(dialog.NumberField()->text(), "9,555 1234");
    dialog.Button("send")->click();
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Logic().Number(), "9,555 1234");
    EXPECT_TRUE(dialog.Logic().ChosenName().empty());
    data::AppSettings stored;
    data::LoadSettings(stored);
    EXPECT_EQ(stored.telephoneCheck, 0u) << "switched off for good";
}

TEST_F(DestinationDialogTest, APickedEntryKeepsItsNameAndADeletionSurvivesCancel) {
    uitest::MessageRecorder answers(data::MessageAnswer::Ok);
    uitest::ModalWatcher watcher([](QWidget* modal) {
        ADD_FAILURE() << "no window expected, got " << modal->metaObject()->className();
        QTimer::singleShot(0, modal, [modal] { static_cast<QDialog*>(modal)->reject(); });
    });
    {
        ui::SelectDestinationDialog dialog(settings);
        dialog.show();
        QTreeWidgetItem* row = dialog.List()->topLevelItem(1);
        dialog.List()->itemClicked(row, 0);
        EXPECT_EQ(dialog.NumberField()->text(), "555 0199");
        dialog.Button("send")->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << "a picked entry needs no warning";
        EXPECT_EQ(dialog.Logic().ChosenName(), "Lighthouse");
    }
    {
        ui::SelectDestinationDialog dialog(settings);
        dialog.show();
        dialog.List()->itemClicked(dialog.List()->topLevelItem(0), 0);
        dialog.Button("delete")->click();
        EXPECT_EQ(answers.ids, std::vector<int>{jobs::kMsgDeleteEntry});
        EXPECT_EQ(dialog.List()->topLevelItemCount(), 1);
        dialog.reject();
    }
    data::PhoneBookList book;
    data::LoadPhoneBook(book, data::PhoneBookPath());
    ASSERT_EQ(book.Rows().size(), 1u);
    EXPECT_EQ(book.Rows()[0].name, "Lighthouse");
}

TEST_F(DestinationDialogTest, EditDestinationRefusesEmptyFieldsAndLimitsTheirLength) {
    uitest::MessageRecorder messages;
    settings.telephoneCheck = 0;
    ui::EditDestinationDialog dialog(settings, QString(), QString());
    dialog.show();
    uitest::Screenshot(&dialog, "edit-destination");
    QTest::keyClicks(dialog.NameField(), "Harbour Office");
    dialog.accept();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(messages.ids, std::vector<int>{jobs::kMsgFieldsMustBeFilled});
    EXPECT_EQ(dialog.NameField()->text(), "Harbour Office") << "what was typed stays";
    QTest::keyClicks(dialog.NumberField(), QString(70, '5'));
    EXPECT_EQ(dialog.NumberField()->text().size(), jobs::kDestinationFieldLimit);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.findChild<QLabel*>() == nullptr);
    bool typo = false;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        typo = typo || label->text().contains("Telelphone");
    EXPECT_FALSE(typo);
}

struct SendWorkflowTest : testing::Test {
    void SendTwoFilesToTheCommandLineReceiver(bool keyboardOnly);
    SendWorkflowTest() {
        platform::ReloadRegistry();
        ourPort = uitest::FreePort();
        EXPECT_EQ(QProcess::execute(QStringLiteral(SENDARI_MODEMS_PATH),
                                    {"add-virtual", "--port", "COM4", "--listen",
                                     QString("127.0.0.1:%1").arg(ourPort), "--rate", "unlimited"}),
                  0);
        platform::ReloadRegistry();
        data::AppSettings settings;
        data::LoadSettings(settings);
        settings.modemSelection = comm::ListInstalledModems().at(0).name;
        settings.telephoneCheck = 1;
        settings.stationName = "Lighthouse";
        settings.numberOfAttempts = 1;
        data::SaveSettings(settings);
    }
    ~SendWorkflowTest() override { platform::ReloadRegistry(); }

    testsupport::TempDir temp;
    int ourPort{0};
};

TEST_F(SendWorkflowTest, CancellingTheFilesEmptiesTheListAndCancellingTheDestinationKeepsIt) {
    const std::string file = temp.WriteFile("outbox/report.txt", "report");
    int selectFiles = 0, destinations = 0;
    uitest::ModalWatcher watcher([&](QWidget* modal) {
        if (auto* files = qobject_cast<ui::SelectFilesDialog*>(modal)) {
            ++selectFiles;
            if (selectFiles == 1)
                QTimer::singleShot(0, files, &QDialog::reject);
            else
                QTimer::singleShot(0, files->Button("ok"), &QPushButton::click);
        } else if (auto* destination = qobject_cast<ui::SelectDestinationDialog*>(modal)) {
            ++destinations;
            QTimer::singleShot(0, destination, &QDialog::reject);
        } else {
            ADD_FAILURE() << "unexpected " << modal->metaObject()->className();
        }
    });
    ui::MainWindow window;
    window.show();
    ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
    window.SendList() = {file};
    QTimer::singleShot(0, &window, [&] { window.SendButton()->click(); });
    ASSERT_TRUE(uitest::RunUntil([&] { return selectFiles == 1 && !window.Busy(); }));
    EXPECT_TRUE(window.SendList().empty());
    window.SendList() = {file};
    QTimer::singleShot(0, &window, [&] { window.SendButton()->click(); });
    ASSERT_TRUE(uitest::RunUntil([&] { return destinations == 1 && !window.Busy(); }));
    EXPECT_EQ(window.SendList(), std::vector<std::string>{file});
}

// A file deleted after the files were chosen is named before any call is made, and no call
// is made.
TEST_F(SendWorkflowTest, AFileGoneFromTheListIsNamedBeforeDialling) {
    const std::string kept = temp.WriteFile("outbox/kept.txt", "kept");
    const std::string gone = temp.WriteFile("outbox/gone.txt", "gone");
    ui::InstallMessageHooks();
    QStringList seen;
    QString said;
    uitest::ModalWatcher watcher([&](QWidget* modal) {
        seen << QString::fromLatin1(modal->metaObject()->className());
        if (auto* files = qobject_cast<ui::SelectFilesDialog*>(modal)) {
            QTimer::singleShot(0, files->Button("ok"), &QPushButton::click);
        } else if (auto* destination = qobject_cast<ui::SelectDestinationDialog*>(modal)) {
            QTimer::singleShot(0, destination, [destination, gone] {
                fs::remove(gone);
                QTest::keyClicks(destination->NumberField(), QStringLiteral("127.0.0.1:9"));
                destination->Button("send")->click();
            });
        } else if (auto* check = qobject_cast<ui::TelephoneNumberDialog*>(modal)) {
            QTimer::singleShot(0, check, &QDialog::accept);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            said = box->text();
            QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
        }
    });
    ui::MainWindow window;
    window.show();
    ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
    window.SendList() = {kept, gone};
    QTimer::singleShot(0, &window, [&] { window.SendButton()->click(); });
    ASSERT_TRUE(uitest::RunUntil([&] { return !said.isEmpty() && !window.Busy(); }))
        << seen.join(", ").toStdString();
    EXPECT_TRUE(said.contains(QString::fromStdString(gone))) << said.toStdString();
    EXPECT_FALSE(seen.contains("ui::TransferDialog")) << "no call was made";
    data::SetMessageHook({});
}

// From the main window to files filed by sendari-cli receive: with the mouse where it helps, or
// with the keyboard alone (no mouse event anywhere: the files are two folders down from where
// Select Files opens).
void SendWorkflowTest::SendTwoFilesToTheCommandLineReceiver(bool keyboardOnly) {
    // The receiving station: sendari-cli receive with a virtual modem and folders of its own.
    const std::string receiver = temp / "receiver";
    const int receiverPort = uitest::FreePort();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(receiver + "/config"));
    environment.insert("XDG_DATA_HOME", QString::fromStdString(receiver + "/data"));
    environment.insert("SENDARI_HOME", QString::fromStdString(receiver + "/data/Sendari"));
    fs::create_directories(receiver + "/config/Sendari");
    std::ofstream(receiver + "/config/Sendari/HKEY_CURRENT_USER.reg")
        << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n"
           "\"StationName\"=\"Quay\"\n\"AnswerAfterRings\"=dword:00000001\n"
           "\"GeneralReceiveFolder\"=\""
        << receiver << "/inbox\"\n";
    QProcess install;
    install.setProcessEnvironment(environment);
    install.start(QStringLiteral(SENDARI_MODEMS_PATH),
                  {"add-virtual", "--port", "COM3", "--listen",
                   QString("127.0.0.1:%1").arg(receiverPort), "--rate", "unlimited"});
    ASSERT_TRUE(install.waitForFinished(30000));
    QProcess receiving;
    receiving.setProcessEnvironment(environment);
    receiving.setProcessChannelMode(QProcess::MergedChannels);
    receiving.start(QStringLiteral(SENDARI_CLI_PATH), {"receive"});
    ASSERT_TRUE(receiving.waitForStarted());
    ASSERT_TRUE(
        uitest::RunUntil([&] { return receiving.readAll().contains("Waiting for calls"); }));

    const std::map<std::string, std::string> files{
        {"Relevé de février 2026.txt", std::string(40000, 'r')},
        {"plain.bin", std::string(150000, '\xff')}};
    for (const auto& [name, content] : files)
        temp.WriteFile("outbox/march/" + name, content);
    temp.WriteFile("outbox/march/left behind.txt", "not sent");
    data::RememberSendFolder(temp.Path().string());

    ui::InstallMessageHooks();
    QStringList seen;
    QString outcome;
    uitest::ModalWatcher watcher([&](QWidget* modal) {
        seen << QString::fromLatin1(modal->metaObject()->className());
        if (auto* select = qobject_cast<ui::SelectFilesDialog*>(modal)) {
            QTimer::singleShot(0, select, [&, select] {
                if (keyboardOnly) {
                    PickByKeyboard(*select, {"outbox", "march"}, {"plain", "Rel"});
                    QTest::keyClick(select, Qt::Key_O, Qt::AltModifier);
                    return;
                }
                QStringList names;
                for (const auto& [name, content] : files)
                    names << QString::fromStdString(name);
                AddFromBrowser(*select, QString::fromStdString(temp / "outbox/march"), names, 3);
                select->Button("ok")->click();
            });
        } else if (auto* destination = qobject_cast<ui::SelectDestinationDialog*>(modal)) {
            QTimer::singleShot(0, destination, [&, destination] {
                QTest::keyClicks(destination->NumberField(),
                                 QString("127.0.0.1:%1").arg(receiverPort));
                if (keyboardOnly)
                    QTest::keyClick(destination->NumberField(), Qt::Key_Return);
                else
                    destination->Button("send")->click();
            });
        } else if (auto* check = qobject_cast<ui::TelephoneNumberDialog*>(modal)) {
            if (keyboardOnly)
                QTimer::singleShot(0, check, [check] { QTest::keyClick(check, Qt::Key_Return); });
            else
                QTimer::singleShot(0, check, &QDialog::accept);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            outcome = box->text();
            if (keyboardOnly)
                QTimer::singleShot(0, box, [box] { QTest::keyClick(box, Qt::Key_Return); });
            else
                QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
        }
    });
    ui::MainWindow window;
    window.show();
    ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
    QTimer::singleShot(0, &window, [&] {
        if (keyboardOnly)
            QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
        else
            window.SendButton()->click();
    });
    ASSERT_TRUE(uitest::RunUntil([&] { return !outcome.isEmpty() && !window.Busy(); }, 180000))
        << seen.join(", ").toStdString();
    EXPECT_EQ(outcome, "Sendari successfully sent the files.");
    EXPECT_TRUE(seen.contains("ui::TelephoneNumberDialog"));
    EXPECT_TRUE(seen.contains("ui::TransferDialog"));
    EXPECT_TRUE(window.SendList().empty()) << "the sent files leave the send list";

    // The receiver files what arrived once the call is over.
    auto landed = [&](const std::string& name) {
        if (!fs::exists(receiver + "/inbox"))
            return std::string();
        for (const auto& entry : fs::recursive_directory_iterator(receiver + "/inbox"))
            if (entry.path().filename() == name &&
                entry.path().parent_path().filename().string().rfind("Received ", 0) == 0)
                return entry.path().string();
        return std::string();
    };
    ASSERT_TRUE(uitest::RunUntil(
        [&] {
            for (const auto& [name, content] : files)
                if (landed(name).empty())
                    return false;
            return true;
        },
        30000));
    receiving.terminate();
    ASSERT_TRUE(receiving.waitForFinished(30000));
    for (const auto& [name, content] : files)
        EXPECT_EQ(testsupport::TempDir::ReadFile(landed(name)), content) << name;
    const std::string ourLog = testsupport::TempDir::ReadFile(temp / "data/Sendari/TRANSLOG.TXT");
    const std::string theirLog =
        testsupport::TempDir::ReadFile(receiver + "/data/Sendari/TRANSLOG.TXT");
    for (const auto& [name, content] : files) {
        EXPECT_NE(ourLog.find(name + "\tSending\t"), std::string::npos) << ourLog;
        EXPECT_NE(theirLog.find(name + "\tReceiving\tLighthouse\tSuccessful"), std::string::npos)
            << theirLog;
    }
    jobs::SetOutcomePresenter({});
    data::SetMessageHook({});
}

TEST_F(SendWorkflowTest, MainWindowSendsTwoFilesToTheCommandLineReceiver) {
    SendTwoFilesToTheCommandLineReceiver(false);
}

TEST_F(SendWorkflowTest, TheKeyboardAloneSendsTwoFilesToTheCommandLineReceiver) {
    SendTwoFilesToTheCommandLineReceiver(true);
}

} // namespace
