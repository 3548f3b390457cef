// "Select Files": a folder tree and a file browser above the list of files to send, which is
// the Select Files logic shown as a five-column list.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "jobs/SelectFilesWindow.h"

class QFileSystemModel;
class QLabel;
class QPushButton;
class QTreeView;
class QTreeWidget;
class QDialogButtonBox;

namespace ui {

class SelectFilesDialog : public QDialog {
    Q_OBJECT
  public:
    explicit SelectFilesDialog(std::vector<std::string>& sendList, QWidget* parent = nullptr);

    jobs::SelectFilesLogic& Logic() { return m_logic; }
    // The folder the browser shows (the process's current folder is never changed).
    QString Folder() const { return m_folder; }
    void SetFolder(const QString& folder);
    // Selects these names in the browser, as the user would with the mouse.
    void SelectInBrowser(const QStringList& names);
    QTreeView* Browser() const { return m_browser; }
    QTreeWidget* List() const { return m_list; }
    QPushButton* Button(const char* name) const;
    QLabel* TotalLabel() const { return m_total; }
    QLabel* TimeLabel() const { return m_time; }

    void Add();
    void AddAll();
    void Remove();
    void RemoveAll();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void Rebuild();
    void UpdateButtons();
    std::vector<std::string> SelectedBrowserPaths() const;

    jobs::SelectFilesLogic m_logic;
    QString m_folder;
    QFileSystemModel* m_folders;
    QFileSystemModel* m_files;
    QTreeView* m_tree;
    QTreeView* m_browser;
    QTreeWidget* m_list;
    QLabel* m_total;
    QLabel* m_time;
    QDialogButtonBox* m_buttons;
    bool m_opened{false};
};

} // namespace ui
