// Help in every window: each numbered control is explained by the help book (and no label shows
// a stray "&"), F1 answers for the focused control, Shift+F1 asks, and the Help buttons open the
// window's page.
#include <gtest/gtest.h>

#include <QAction>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QWhatsThis>

#include "comm/ModemDiscovery.h"
#include "data/AppSettings.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/DestinationDialogs.h"
#include "ui/Help.h"
#include "ui/MainWindow.h"
#include "ui/MessageWindows.h"
#include "ui/ModemsDialog.h"
#include "ui/OptionsDialog.h"
#include "ui/SelectFilesDialog.h"
#include "ui/TransferLogDialog.h"

namespace {

struct HelpTest : testing::Test {
    HelpTest() { platform::ReloadRegistry(); }
    ~HelpTest() override {
        delete ui::HelpWindow::Current();
        platform::ReloadRegistry();
    }
    QString ShownFragment() {
        ui::HelpWindow* help = ui::HelpWindow::Current();
        return help && help->isVisible() ? help->Browser()->source().fragment() : QString();
    }
    bool PopupShown() {
        return uitest::RunUntil(
            [] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (w->isVisible() && w->inherits("QWhatsThat"))
                        return true;
                return false;
            },
            2000);
    }

    testsupport::TempDir temp;
    data::AppSettings settings;
};

// Every numbered control of every window is explained, and every Alt+letter leads to one
// control (a clash makes one of them unreachable).
TEST_F(HelpTest, EveryControlIsExplainedAndEachAltKeyLeadsToOne) {
    data::LoadSettings(settings);
    std::vector<std::string> files;
    comm::ModemListModel modems;
    ui::MainWindow main;
    ui::SelectFilesDialog select(files);
    ui::SelectDestinationDialog destination(settings);
    ui::EditDestinationDialog edit(settings, "Quay", "555");
    ui::TelephoneNumberDialog number("555");
    ui::OptionsDialog options(settings, 0);
    ui::TransferLogDialog log(temp / "log.txt");
    ui::ModemsDialog modemsWindow;
    ui::SelectModemDialog selectModem(modems);
    for (QWidget* window :
         std::initializer_list<QWidget*>{&main, &select, &destination, &edit, &number, &options,
                                         &log, &modemsWindow, &selectModem}) {
        EXPECT_EQ(uitest::ControlsWithoutHelp(window), QStringList())
            << window->metaObject()->className();
        EXPECT_EQ(uitest::LabelsShowingAmpersand(window), QStringList())
            << window->metaObject()->className();
        if (window != &options) {
            EXPECT_EQ(uitest::MnemonicClashes(window), QStringList())
                << window->metaObject()->className();
        }
    }
    auto* pages = options.findChild<QTabWidget*>();
    for (int page = 0; page < pages->count(); ++page) {
        pages->setCurrentIndex(page);
        EXPECT_EQ(uitest::MnemonicClashes(&options), QStringList()) << "Options page " << page;
    }
    EXPECT_TRUE(destination.Button("send")->whatsThis().contains("Calls the chosen station"))
        << "OK and Cancel show the window's own topics";
}

// At a large scale a generous first size put OK off the screen: every window opens within the
// room its screen has.
TEST_F(HelpTest, WindowsOpenWithinTheScreen) {
    std::vector<std::string> files;
    ui::MainWindow main;
    ui::SelectFilesDialog select(files);
    ui::TransferLogDialog log(temp / "log.txt");
    ui::HelpWindow help(&main);
    const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
    for (QWidget* window : std::initializer_list<QWidget*>{&select, &log, &help}) {
        EXPECT_LE(window->width(), room.width()) << window->metaObject()->className();
        EXPECT_LE(window->height(), room.height()) << window->metaObject()->className();
    }
}

// The help window opens beside its window, goes back and to the contents, and closes with
// Escape or Ctrl+W.
TEST_F(HelpTest, TheHelpWindowNavigatesAndClosesFromTheKeyboard) {
    QWidget main;
    main.resize(300, 200);
    main.move(40, 40);
    main.show();
    ui::ShowHelpTopic(jobs::WindowTopic(jobs::kSelectFilesWindow), &main);
    ui::HelpWindow* help = ui::HelpWindow::Current();
    ASSERT_TRUE(help);
    EXPECT_NE(help->frameGeometry().topLeft(), main.frameGeometry().topLeft());
    auto* back = help->findChild<QPushButton*>(QStringLiteral("back"));
    auto* contents = help->findChild<QPushButton*>(QStringLiteral("contents"));
    ASSERT_TRUE(back && contents);
    const QString topic = ShownFragment();
    contents->click();
    EXPECT_EQ(ShownFragment(), "contents");
    ASSERT_TRUE(back->isEnabled());
    back->click();
    EXPECT_EQ(ShownFragment(), topic);
    for (const QKeySequence& keys :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        ui::ShowHelpTopic(0, &main);
        help = ui::HelpWindow::Current();
        help->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(help));
        QTest::keySequence(help, keys);
        EXPECT_TRUE(uitest::RunUntil([&] { return !ui::HelpWindow::Current(); }, 2000))
            << keys.toString().toStdString();
    }
}

TEST_F(HelpTest, F1AnswersForTheFocusedControlAndHelpButtonsOpenTheirPage) {
    ui::SelectDestinationDialog destination(settings);
    destination.show();
    destination.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&destination));
    destination.NumberField()->setFocus();
    QTest::keyClick(destination.NumberField(), Qt::Key_F1);
    EXPECT_TRUE(PopupShown());
    QWhatsThis::hideText();
    QTest::keyClick(destination.NumberField(), Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_TRUE(QWhatsThis::inWhatsThisMode());
    QWhatsThis::leaveWhatsThisMode();
    destination.findChild<QPushButton*>("help")->click();
    EXPECT_EQ(ShownFragment(), "t201f7");
    EXPECT_EQ(ui::HelpWindow::Current()->parentWidget(), &destination)
        << "the help belongs to the window it was asked from";
    destination.close();

    // The options' Help follows the page, and so does F1 on a button that has nothing to
    // say (OK has no topic there); Select Files has a page of its own.
    ui::OptionsDialog options(settings, 0);
    options.findChild<QTabWidget*>()->setCurrentIndex(2);
    options.findChild<QPushButton*>("help")->click();
    EXPECT_EQ(ShownFragment(), "t201fe");
    options.findChild<QTabWidget*>()->setCurrentIndex(1);
    options.show();
    options.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&options));
    QPushButton* ok = options.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_F1);
    EXPECT_EQ(ShownFragment(), "t201fc");
    options.close();
    std::vector<std::string> files;
    ui::SelectFilesDialog select(files);
    select.Button("help")->click();
    EXPECT_EQ(ShownFragment(), "t201f6");
    uitest::Screenshot(ui::HelpWindow::Current(), "help-select-files");

    // The main window's Help Topics opens the contents.
    ui::MainWindow main;
    main.Action("helpTopics")->trigger();
    EXPECT_EQ(ShownFragment(), "contents");
    EXPECT_TRUE(ui::HelpWindow::Current()->Browser()->toPlainText().contains("Sendari Help"));
}

} // namespace
