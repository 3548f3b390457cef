// "Select Files": a folder tree and a file browser above the list of files to send, which is
// the Select Files logic shown as a five-column list.
#pragma once

#include <QDialog>
#include <QStyledItemDelegate>

#include <string>
#include <vector>

#include "jobs/SelectFilesWindow.h"

class QFileSystemModel;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;
class QTreeWidget;
class QDialogButtonBox;

namespace ui {

// Draws the file browser's Size and Date Modified as the list of files to send shows them, so
// the two lists read alike ("3KB", "12/9/26 4:04 PM").
class FileBrowserDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // The text shown for a cell of the browser's model.
    QString CellText(const QModelIndex& index) const;

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

class SelectFilesDialog : public QDialog {
    Q_OBJECT
  public:
    explicit SelectFilesDialog(std::vector<std::string>& sendList, QWidget* parent = nullptr);

    jobs::SelectFilesLogic& Logic() { return m_logic; }
    // The folder the browser shows (the process's current folder is never changed). It opens on
    // the folder files were last picked from (else the home folder).
    QString Folder() const { return m_folder; }
    void SetFolder(const QString& folder);
    // Selects these names in the browser, as the user would with the mouse.
    void SelectInBrowser(const QStringList& names);
    QTreeView* Tree() const { return m_tree; }
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
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The last folder files were picked from, else the home folder.
    static QString StartFolder();
    void EnterInBrowser();
    // Opens the tree down to the current folder and scrolls to it.
    void RevealInTree();
    void Rebuild();
    void UpdateButtons();
    std::vector<std::string> SelectedBrowserPaths() const;

    jobs::SelectFilesLogic m_logic;
    QString m_folder;
    QFileSystemModel* m_folders;
    QFileSystemModel* m_files;
    QLineEdit* m_path;
    QTreeView* m_tree;
    QTreeView* m_browser;
    bool m_followCurrent{false}; // the tree keeps the current folder in view
    QTreeWidget* m_list;
    QLabel* m_total;
    QLabel* m_time;
    QDialogButtonBox* m_buttons;
    bool m_opened{false};
};

} // namespace ui
