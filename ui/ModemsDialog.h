// "Modems": the installed modems, and adding (on a serial or USB port, or a virtual one),
// importing, removing and detecting them, all through the installer the command line uses.
#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace ui {

class ModemsDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ModemsDialog(QWidget* parent = nullptr);

    QTreeWidget* List() const { return m_list; }
    QLineEdit* Field(const char* name) const;
    QComboBox* Choice(const char* name) const;
    QPushButton* Button(const char* name) const;

    void AddOnPort();
    void AddVirtual();
    void Import(const QString& file);
    void RemoveSelected();
    void Detect();

  private:
    void Refresh();
    void Report(bool ok, const std::string& message);

    QTreeWidget* m_list;
};

} // namespace ui
