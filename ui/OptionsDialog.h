// "Sendari Options": the Send, Receive and Modem pages over the options logic, with OK,
// Cancel and Apply (enabled while a page is modified).
#pragma once

#include <QDialog>

#include "jobs/OptionsWindow.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace data {
struct AppSettings;
}

namespace ui {

class ModemComboBox;

class OptionsDialog : public QDialog {
    Q_OBJECT
  public:
    enum Page { kSendPage = 0, kReceivePage = 1, kModemPage = 2 };

    OptionsDialog(data::AppSettings& settings, int firstPage, QWidget* parent = nullptr);

    jobs::OptionsLogic& Logic() { return m_logic; }
    QTabWidget* Tabs() const { return m_tabs; }
    QPushButton* ApplyButton() const { return m_apply; }
    QLineEdit* Field(const char* name) const;
    QComboBox* List(const char* name) const;
    // "Select Folder..." with the chosen folder (the button asks the user for it).
    void FolderChosen(const QString& folder);
    // Fills the modem list again (after the modem window closed).
    void RefreshModems();

  public slots:
    void accept() override;
    void done(int result) override;

  private:
    QWidget* SendPage();
    QWidget* ReceivePage();
    QWidget* ModemPage();
    void ShowValues();
    bool TakePage(int page);
    void Modified();

    data::AppSettings& m_settings;
    jobs::OptionsLogic m_logic;
    QTabWidget* m_tabs;
    QPushButton* m_apply{nullptr};
    int m_currentPage{0};
    bool m_showing{false};
    bool m_closed{false};
};

} // namespace ui
