// The help book in a help window, and the help on a control: F1 shows what the focused
// control does, Shift+F1 lets the user click a control to ask, a Help button opens the window's
// page of the book.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <string>

#include "jobs/HelpTopics.h"

class QDialogButtonBox;
class QPushButton;
class QTextBrowser;

namespace ui {

// The help book (HTML) as the program ships it, and where the help window reads it.
const std::string& HelpBookHtml();
QUrl HelpBookUrl();

class HelpWindow : public QWidget {
    Q_OBJECT
  public:
    explicit HelpWindow(QWidget* owner);
    QTextBrowser* Browser() const { return m_browser; }
    // The help window now open, or null.
    static HelpWindow* Current();

  private:
    QTextBrowser* m_browser;
};

// Opens the help window at `topic` (0: the contents), over the window `from` belongs to.
void ShowHelpTopic(int topic, QWidget* from);

// The control number help requests on `control` use: the one it was given, else 1, 2 or 9 for
// an OK, Cancel or Help button of a button box; 0 when it has none.
void SetHelpId(QWidget* control, int id);
int HelpIdOf(const QWidget* control);

// Shows the topic for `control` in a pop-up next to it; false when no topic answers it.
bool ShowControlHelp(QWidget* control, jobs::WindowHelp help);

// Gives `window` and the controls it holds now their help: each control's What's This text from
// the book, F1 (the focused control's topic, else the window's own) and Shift+F1.
// `windowTopic` may change while the window is open (the page of a tabbed window).
using TopicSource = std::function<int()>;
void InstallHelp(QWidget* window, jobs::WindowHelp help, TopicSource windowTopic);
void InstallHelp(QWidget* window, jobs::WindowHelp help, int windowTopic);

// A Help button for `buttons` that opens the window's page of the book.
QPushButton* AddHelpButton(QDialogButtonBox* buttons, TopicSource windowTopic);
QPushButton* AddHelpButton(QDialogButtonBox* buttons, int windowTopic);

} // namespace ui
