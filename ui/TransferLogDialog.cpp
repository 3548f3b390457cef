// The transfer log window.
#include "ui/TransferLogDialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/Help.h"
#include "ui/MessageWindows.h"

namespace ui {
namespace {
constexpr int kCaption = 51190;
constexpr int kClear = 51191;
} // namespace

TransferLogDialog::TransferLogDialog(std::string path, QWidget* parent)
    : QDialog(parent), m_path{std::move(path)} {
    setWindowTitle(Text(kCaption));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setSizeGripEnabled(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    m_list = new QTreeWidget;
    m_list->setColumnCount(data::kTransferLogFields);
    QStringList titles;
    for (const data::TransferLogColumn& column : data::kTransferLogColumns)
        titles << Text(column.titleId);
    m_list->setHeaderLabels(titles);
    m_list->setRootIsDecorated(false);
    m_list->setAlternatingRowColors(true);
    m_list->header()->setSectionsClickable(true);
    for (int i = 0; i < data::kTransferLogFields; ++i) {
        m_list->header()->resizeSection(
            i, data::kTransferLogColumns[static_cast<std::size_t>(i)].width);
        if (data::kTransferLogColumns[static_cast<std::size_t>(i)].alignment ==
            data::ColumnAlignment::Right)
            m_list->headerItem()->setTextAlignment(i, Qt::AlignRight | Qt::AlignVCenter);
    }
    m_list->setAccessibleName(Text(kCaption));
    layout->addWidget(m_list, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    m_clear = buttons->addButton(Text(kClear), QDialogButtonBox::ActionRole);
    // Enter closes the window; emptying the log takes its own button and a Yes.
    m_clear->setAutoDefault(false);
    buttons->button(QDialogButtonBox::Close)->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
    connect(m_clear, &QPushButton::clicked, this, &TransferLogDialog::Clear);
    connect(m_list->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        const bool ascending = m_model.Sort(column);
        m_list->header()->setSortIndicatorShown(true);
        m_list->header()->setSortIndicator(column,
                                           ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
        Rebuild();
    });
    AddHelpButton(buttons, jobs::WindowTopic(jobs::kTransferLogWindow));
    layout->addWidget(buttons);
    SetHelpId(m_list, 1040);
    SetHelpId(m_clear, 1041);
    SetHelpId(buttons->button(QDialogButtonBox::Close), 1);
    InstallHelp(this, jobs::kTransferLogHelp, jobs::WindowTopic(jobs::kTransferLogWindow));
    ResizeToFitScreen(this, QSize(980, 420));
}

bool TransferLogDialog::Load() {
    if (!m_model.Load(m_path))
        return false;
    Rebuild();
    return true;
}

void TransferLogDialog::Clear() {
    m_model.Clear(m_path);
    Rebuild();
}

void TransferLogDialog::Rebuild() {
    m_list->clear();
    for (const data::TransferLogRow& row : m_model.Rows()) {
        auto* item = new QTreeWidgetItem(m_list);
        for (int i = 0; i < data::kTransferLogFields; ++i) {
            item->setText(i, QString::fromStdString(row[static_cast<std::size_t>(i)]));
            if (data::kTransferLogColumns[static_cast<std::size_t>(i)].alignment ==
                data::ColumnAlignment::Right)
                item->setTextAlignment(i, Qt::AlignRight | Qt::AlignVCenter);
        }
    }
    // Dates are never cut: the column is as wide as its widest date.
    const int width = m_list->header()->sectionSize(data::kDateColumn);
    m_list->resizeColumnToContents(data::kDateColumn);
    if (m_list->header()->sectionSize(data::kDateColumn) < width)
        m_list->header()->resizeSection(data::kDateColumn, width);
}

} // namespace ui
