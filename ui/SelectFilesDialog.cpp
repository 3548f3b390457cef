// The Select Files window.
#include "ui/SelectFilesDialog.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstring>

#include "data/AppSettings.h"
#include "platform/Paths.h"
#include "ui/MessageWindows.h"
#include "ui/Help.h"

namespace ui {
namespace {
constexpr int kCaption = 51110;
constexpr int kAdd = 51111;
constexpr int kAddAll = 51112;
constexpr int kRemove = 51113;
constexpr int kRemoveAll = 51114;
constexpr int kListLabel = 51115;
constexpr int kTotalLabel = 51116;
constexpr int kTimeLabel = 51117;
constexpr int kFoldersLabel = 51118;
constexpr int kFilesLabel = 51119;
constexpr int kHeadings[jobs::kFileColumns] = {50310, 50311, 50312, 50313, 50314};
constexpr int kWidths[jobs::kFileColumns] = {140, 55, 100, 130, 300};

std::string TypeName(const std::string& path) {
    static QMimeDatabase types;
    const QString comment = types.mimeTypeForFile(QString::fromStdString(path)).comment();
    return comment.toStdString();
}

} // namespace

QString FileBrowserDelegate::CellText(const QModelIndex& index) const {
    const auto* files = qobject_cast<const QFileSystemModel*>(index.model());
    if (!files || (index.column() != 1 && index.column() != 3))
        return index.data().toString();
    if (index.column() == 1)
        return files->isDir(index) ? QString()
                                   : QString::fromStdString(jobs::KilobytesText(
                                         jobs::RoundedKilobytes(files->size(index))));
    return QString::fromStdString(jobs::ModifiedText(
        static_cast<std::time_t>(files->lastModified(index).toSecsSinceEpoch())));
}

void FileBrowserDelegate::initStyleOption(QStyleOptionViewItem* option,
                                          const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = CellText(index);
}

SelectFilesDialog::SelectFilesDialog(std::vector<std::string>& sendList, QWidget* parent)
    : QDialog(parent), m_logic{sendList, TypeName} {
    setWindowTitle(Text(kCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setSizeGripEnabled(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);

    // The browser: folders on the left, the folder's files on the right.
    m_folders = new QFileSystemModel(this);
    m_folders->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_folders->setRootPath(QStringLiteral("/"));
    m_files = new QFileSystemModel(this);
    // Sockets, devices and pipes are not files that can be sent: they are not offered.
    m_files->setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot);
    m_files->setReadOnly(true);
    m_tree = new QTreeView;
    m_tree->setModel(m_folders);
    for (int column = 1; column < m_folders->columnCount(); ++column)
        m_tree->hideColumn(column);
    m_tree->setHeaderHidden(true);
    m_tree->setAccessibleName(Text(kFoldersLabel).remove('&'));
    m_browser = new QTreeView;
    m_browser->setModel(m_files);
    m_browser->setItemDelegate(new FileBrowserDelegate(m_browser));
    m_browser->setRootIsDecorated(false);
    m_browser->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_browser->setAccessibleName(Text(kFilesLabel).remove('&'));
    m_browser->header()->resizeSection(0, 220);
    // Where the browser is, as an editable path, and a way up.
    auto* where = new QHBoxLayout;
    m_path = new QLineEdit;
    m_path->setObjectName(QStringLiteral("path"));
    auto* pathLabel = new QLabel(QStringLiteral("Loo&k in:"));
    pathLabel->setBuddy(m_path);
    where->addWidget(pathLabel);
    where->addWidget(m_path, 1);
    auto* up = new QPushButton(QStringLiteral("&Up"));
    up->setObjectName(QStringLiteral("up"));
    up->setAutoDefault(false);
    where->addWidget(up);
    layout->addLayout(where);
    connect(m_path, &QLineEdit::returnPressed, this, [this] {
        const QString typed = QDir::cleanPath(m_path->text().trimmed());
        if (QFileInfo(typed).isDir())
            SetFolder(typed);
        else
            m_path->setText(m_folder);
    });
    connect(up, &QPushButton::clicked, this, [this] {
        QDir parent(m_folder);
        if (parent.cdUp())
            SetFolder(parent.absolutePath());
    });
    auto* splitter = new QSplitter;
    auto labelled = [](const QString& text, QWidget* view) {
        auto* box = new QWidget;
        auto* column = new QVBoxLayout(box);
        column->setContentsMargins(0, 0, 0, 0);
        auto* label = new QLabel(text);
        label->setBuddy(view);
        column->addWidget(label);
        column->addWidget(view);
        return box;
    };
    splitter->addWidget(labelled(Text(kFoldersLabel), m_tree));
    splitter->addWidget(labelled(Text(kFilesLabel), m_browser));
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 3);

    auto* middle = new QHBoxLayout;
    auto button = [&](const char* name, int text) { return AddListButton(middle, name, text); };
    connect(button("add", kAdd), &QPushButton::clicked, this, &SelectFilesDialog::Add);
    connect(button("addAll", kAddAll), &QPushButton::clicked, this, &SelectFilesDialog::AddAll);
    middle->addStretch(1);
    connect(button("remove", kRemove), &QPushButton::clicked, this, &SelectFilesDialog::Remove);
    connect(button("removeAll", kRemoveAll), &QPushButton::clicked, this,
            &SelectFilesDialog::RemoveAll);
    layout->addLayout(middle);

    m_list = new QTreeWidget;
    m_list->setColumnCount(jobs::kFileColumns);
    QStringList headings;
    for (int id : kHeadings)
        headings << Text(id);
    m_list->setHeaderLabels(headings);
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setAlternatingRowColors(true);
    m_list->header()->setSectionsClickable(true);
    m_list->header()->setSortIndicatorShown(false);
    m_list->headerItem()->setTextAlignment(jobs::kColumnSize, Qt::AlignRight | Qt::AlignVCenter);
    for (int column = 0; column < jobs::kFileColumns; ++column)
        m_list->header()->resizeSection(column, kWidths[column]);
    auto* listLabel = new QLabel(Text(kListLabel));
    listLabel->setBuddy(m_list);
    m_list->setAccessibleName(listLabel->text().remove('&'));
    layout->addWidget(listLabel);
    layout->addWidget(m_list, 2);

    auto* bottom = new QHBoxLayout;
    auto* totals = new QGridLayout;
    m_total = new QLabel;
    m_time = new QLabel;
    for (QLabel* figure : {m_total, m_time}) {
        figure->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        figure->setMinimumWidth(
            figure->fontMetrics().horizontalAdvance(QStringLiteral("999999999KB")));
    }
    totals->addWidget(new QLabel(Text(kTotalLabel)), 0, 0);
    totals->addWidget(m_total, 0, 1);
    totals->addWidget(new QLabel(Text(kTimeLabel)), 1, 0);
    totals->addWidget(m_time, 1, 1);
    totals->setHorizontalSpacing(16);
    bottom->addLayout(totals);
    bottom->addStretch(1);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    bottom->addWidget(m_buttons, 0, Qt::AlignBottom);
    layout->addLayout(bottom);
    connect(m_buttons, &QDialogButtonBox::accepted, this, [this] {
        m_logic.Confirm();
        data::RememberSendFolder(m_folder.toStdString());
        accept();
    });
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // The file list follows the tree's current folder, however it became current: a click,
    // the arrow keys or typing its name.
    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) {
                if (index.isValid())
                    SetFolder(m_folders->filePath(index));
            });
    // The folders load and sort in the background and move the current one as they do: it is
    // kept in view until the user scrolls the tree.
    auto keepInView = [this] {
        if (m_followCurrent)
            m_tree->scrollTo(m_tree->currentIndex());
    };
    connect(m_folders, &QFileSystemModel::directoryLoaded, this, keepInView);
    connect(m_folders, &QFileSystemModel::layoutChanged, this, keepInView);
    connect(m_folders, &QFileSystemModel::rowsInserted, this, keepInView);
    connect(m_tree->verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this] { m_followCurrent = false; });
    for (QWidget* view : {static_cast<QWidget*>(m_tree), static_cast<QWidget*>(m_browser),
                          static_cast<QWidget*>(m_list), static_cast<QWidget*>(m_path)})
        view->installEventFilter(this);
    // Double-click or Enter: a folder opens, a file is added.
    connect(m_browser, &QTreeView::activated, this, [this](const QModelIndex& index) {
        const QString path = m_files->filePath(index);
        if (m_files->isDir(index)) {
            SetFolder(path);
        } else {
            m_logic.AddSelection({path.toStdString()});
            Rebuild();
        }
    });
    connect(m_list->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        m_logic.Sort(column);
        Rebuild();
    });
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &SelectFilesDialog::UpdateButtons);

    AddHelpButton(m_buttons, jobs::WindowTopic(jobs::kSelectFilesWindow));
    for (auto [control, id] : std::initializer_list<std::pair<QWidget*, int>>{
             {m_tree, 1100},
             {m_browser, 1101},
             {m_list, 1000},
             {Button("add"), 1005},
             {Button("addAll"), 1006},
             {Button("remove"), 1008},
             {Button("removeAll"), 1009},
             {m_buttons->button(QDialogButtonBox::Ok), 1022},
             {m_buttons->button(QDialogButtonBox::Cancel), 1003},
             {m_buttons->findChild<QPushButton*>(QStringLiteral("help")), 1084},
             {m_total, 1017},
             {m_time, 1018}})
        SetHelpId(control, id);
    InstallHelp(this, jobs::kNoButtonHelp, jobs::WindowTopic(jobs::kSelectFilesWindow));

    ResizeToFitScreen(this, QSize(860, 640));
    SetFolder(StartFolder());
}

QString SelectFilesDialog::StartFolder() {
    const QString last = QString::fromStdString(data::LastSendFolder());
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    return QString::fromStdString(platform::HomeDirectory());
}

bool SelectFilesDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    if (watched == m_list && key == Qt::Key_Delete) {
        Remove();
        return true;
    }
    if (!enter)
        return QDialog::eventFilter(watched, event);
    // Enter acts in the view that has it and never presses OK from there.
    if (watched == m_tree && m_tree->currentIndex().isValid()) {
        m_tree->expand(m_tree->currentIndex());
        SetFolder(m_folders->filePath(m_tree->currentIndex()));
    } else if (watched == m_browser) {
        EnterInBrowser();
    }
    if (watched == m_path)
        emit m_path->returnPressed();
    return true;
}

// Enter on a folder opens it; on files adds every selected file.
void SelectFilesDialog::EnterInBrowser() {
    const QModelIndex current = m_browser->currentIndex();
    const auto selected = m_browser->selectionModel()->selectedRows(0);
    if (current.isValid() && m_files->isDir(current) &&
        (selected.isEmpty() || (selected.size() == 1 && selected[0].row() == current.row()))) {
        SetFolder(m_files->filePath(current));
        return;
    }
    Add();
}

QPushButton* SelectFilesDialog::Button(const char* name) const {
    if (!std::strcmp(name, "ok"))
        return m_buttons->button(QDialogButtonBox::Ok);
    return findChild<QPushButton*>(QString::fromLatin1(name));
}

void SelectFilesDialog::SetFolder(const QString& folder) {
    const QString absolute = QDir(folder).absolutePath();
    if (absolute == m_folder)
        return;
    m_folder = absolute;
    m_path->setText(m_folder);
    m_browser->setRootIndex(m_files->setRootPath(m_folder));
    RevealInTree();
}

void SelectFilesDialog::RevealInTree() {
    const QModelIndex inTree = m_folders->index(m_folder);
    for (QModelIndex above = inTree.parent(); above.isValid(); above = above.parent())
        m_tree->expand(above);
    if (m_tree->currentIndex() != inTree)
        m_tree->setCurrentIndex(inTree);
    m_followCurrent = true;
    m_tree->scrollTo(inTree);
}

void SelectFilesDialog::SelectInBrowser(const QStringList& names) {
    QItemSelectionModel* selection = m_browser->selectionModel();
    selection->clearSelection();
    for (const QString& name : names) {
        const QModelIndex index = m_files->index(QDir(m_folder).filePath(name));
        selection->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

void SelectFilesDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_opened)
        return;
    m_opened = true;
    m_logic.Open();
    Rebuild();
}

std::vector<std::string> SelectFilesDialog::SelectedBrowserPaths() const {
    std::vector<std::string> paths;
    for (const QModelIndex& index : m_browser->selectionModel()->selectedRows(0))
        paths.push_back(m_files->filePath(index).toStdString());
    return paths;
}

void SelectFilesDialog::Add() {
    m_logic.AddSelection(SelectedBrowserPaths());
    Rebuild();
}

void SelectFilesDialog::AddAll() {
    m_logic.AddAll(m_folder.toStdString());
    Rebuild();
}

void SelectFilesDialog::Remove() {
    std::vector<std::size_t> rows;
    for (QTreeWidgetItem* item : m_list->selectedItems())
        rows.push_back(static_cast<std::size_t>(m_list->indexOfTopLevelItem(item)));
    m_logic.Remove(rows);
    Rebuild();
}

void SelectFilesDialog::RemoveAll() {
    m_logic.RemoveAll();
    Rebuild();
}

void SelectFilesDialog::Rebuild() {
    static QFileIconProvider icons;
    m_list->clear();
    for (const jobs::SendFileItem& file : m_logic.Items()) {
        auto* item = new QTreeWidgetItem(m_list);
        for (int column = 0; column < jobs::kFileColumns; ++column)
            item->setText(column, QString::fromStdString(file.Text(column)));
        item->setTextAlignment(jobs::kColumnSize, Qt::AlignRight | Qt::AlignVCenter);
        item->setIcon(jobs::kColumnName, icons.icon(QFileInfo(QString::fromStdString(file.path))));
    }
    m_total->setText(QString::fromStdString(m_logic.TotalText()));
    m_time->setText(QString::fromStdString(m_logic.TimeText()));
    UpdateButtons();
}

void SelectFilesDialog::UpdateButtons() {
    Button("remove")->setEnabled(m_logic.RemoveEnabled(!m_list->selectedItems().isEmpty()));
    Button("removeAll")->setEnabled(m_logic.RemoveAllEnabled());
    Button("ok")->setEnabled(m_logic.OkEnabled());
}

} // namespace ui
