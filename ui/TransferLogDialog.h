// "Transfer Log": the log file as an eight-column table, sorted by a heading click, with
// "Clear Log" and "Close".
#pragma once

#include <QDialog>

#include <string>

#include "data/TransferLog.h"

class QTreeWidget;
class QPushButton;

namespace ui {

class TransferLogDialog : public QDialog {
    Q_OBJECT
  public:
    explicit TransferLogDialog(std::string path = data::TransferLogPath(),
                               QWidget* parent = nullptr);
    // Reads the log; false (after 50211) when it cannot be opened: the window is not shown.
    bool Load();
    QTreeWidget* List() const { return m_list; }
    QPushButton* ClearButton() const { return m_clear; }
    void Clear();

  private:
    void Rebuild();

    std::string m_path;
    data::TransferLogModel m_model;
    QTreeWidget* m_list;
    QPushButton* m_clear;
};

} // namespace ui
