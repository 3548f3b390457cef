// The program's message windows: message boxes with the design's icons, the self-closing timed
// message and Files Received notice of the receiving side, the Select Modem dialog, and the
// hooks that route the lower layers' messages to them.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QSize>
#include <QLabel>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <string>

#include "comm/ModemDiscovery.h"
#include "jobs/JobOutcome.h"

class QBoxLayout;
class QDialogButtonBox;
class QPushButton;

namespace ui {

QString Text(int id);

// A form row whose field is a row of controls ("1 Minutes", a field with its button) gets the
// first control of that row as its label's buddy, so the label's shortcut letter works and no
// "&" shows.
void GiveRowLabelsBuddies(QWidget* window);

// A button of a window's row or column of buttons beside a list: named `name` for tests and
// screenshots, never the default (Enter belongs to the window's own button).
QPushButton* AddListButton(QBoxLayout* layout, const char* name, int textId);

// Gives `window` its first size: `wanted`, made smaller where the screen it opens on has less
// room (at a large scale factor a generous size would put OK off the screen).
void ResizeToFitScreen(QWidget* window, QSize wanted);

// A dialog that closes itself as if OK had been pressed after `ms` (platform) milliseconds,
// showing how many seconds remain. The timed message (518) and the Files Received notice (514).
class SelfClosingDialog : public QDialog {
    Q_OBJECT
  public:
    SelfClosingDialog(const QString& caption, const QString& text, QWidget* parent = nullptr,
                      int timerId = jobs::kTimedMessageTimerId, bool warning = true);
    int TimerId() const { return m_timerId; }
    QString MessageText() const;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void Tick();

    int m_timerId;
    QLabel* m_text;
    QLabel* m_countdown;
    QTimer m_timer;
    std::uint32_t m_openedAt{0};
};

class TimedMessageDialog : public SelfClosingDialog {
    Q_OBJECT
  public:
    explicit TimedMessageDialog(const QString& text, QWidget* parent = nullptr);
};

class FilesReceivedDialog : public SelfClosingDialog {
    Q_OBJECT
  public:
    explicit FilesReceivedDialog(int files, QWidget* parent = nullptr);
};

// The installed modems, filled from the line enumeration with the device ids as item data.
class ModemComboBox : public QComboBox {
    Q_OBJECT
  public:
    explicit ModemComboBox(const comm::ModemListModel& modems, QWidget* parent = nullptr);
};

// "Select Modem" (512).
class SelectModemDialog : public QDialog {
    Q_OBJECT
  public:
    explicit SelectModemDialog(const comm::ModemListModel& modems, QWidget* parent = nullptr);
    QString ChosenModem() const;
    ModemComboBox* Combo() const { return m_combo; }

  private:
    ModemComboBox* m_combo;
};

// Shows a job outcome or a failure message as the design says: a message box on the sending
// side, the self-closing windows on the receiving side.
void PresentOutcome(const jobs::OutcomeMessage& message);

// Messages from the data layer and the automatic modem choice, shown in windows. Messages a
// receive can raise while nobody watches close by themselves.
comm::ModemSelectionHooks ModemHooks(QWidget* parent);
void InstallMessageHooks();
bool ClosesByItself(int stringId);

} // namespace ui
