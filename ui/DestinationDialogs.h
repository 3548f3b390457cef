// "Select Destination", "Edit Destination" and "Telephone Number": the destination logic of
// jobs/ shown in windows.
#pragma once

#include <QDialog>

#include <string>

#include "jobs/SelectDestinationWindow.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace data {
struct AppSettings;
}

namespace ui {

// Shows the Telephone Number window for a typed number (nothing while the warning is off).
jobs::TelephoneNumberPrompt TelephonePrompt(QWidget* parent);

class TelephoneNumberDialog : public QDialog {
    Q_OBJECT
  public:
    TelephoneNumberDialog(const QString& number, QWidget* parent = nullptr);
    bool KeepWarning() const;
    QCheckBox* WarnBox() const { return m_warn; }
    QPushButton* ReviseButton() const { return m_revise; }

  private:
    QCheckBox* m_warn;
    QPushButton* m_revise;
};

class EditDestinationDialog : public QDialog {
    Q_OBJECT
  public:
    EditDestinationDialog(data::AppSettings& settings, const QString& name, const QString& number,
                          QWidget* parent = nullptr);
    QString Name() const;
    QString Number() const;
    QLineEdit* NameField() const { return m_name; }
    QLineEdit* NumberField() const { return m_number; }

  public slots:
    void accept() override;

  private:
    data::AppSettings& m_settings;
    QLineEdit* m_name;
    QString m_shownNumber; // the number the window opened with
    QLineEdit* m_number;
};

class SelectDestinationDialog : public QDialog {
    Q_OBJECT
  public:
    explicit SelectDestinationDialog(data::AppSettings& settings, QWidget* parent = nullptr);

    jobs::SelectDestinationLogic& Logic() { return m_logic; }
    QTreeWidget* List() const { return m_list; }
    QLineEdit* NumberField() const { return m_number; }
    QPushButton* Button(const char* name) const;

    void NewEntry();
    void EditEntry();
    void DeleteEntry();

  public slots:
    void accept() override;
    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void Rebuild();
    void ShowFields();
    void UpdateButtons();

    data::AppSettings& m_settings;
    jobs::SelectDestinationLogic m_logic;
    QTreeWidget* m_list;
    QLineEdit* m_number;
    bool m_opened{false};
    bool m_closed{false};
};

} // namespace ui
