// "Receive Files": shows the Receive Files logic while it waits for calls, and runs the
// Transfer Files window for each answered call.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>

#include "jobs/ReceiveFilesWindow.h"
#include "ui/JobEvents.h"

class QLabel;
class QPushButton;

namespace ui {

class TransferDialog;

class ReceiveFilesDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ReceiveFilesDialog(jobs::JobContext& context, QWidget* parent = nullptr);
    ~ReceiveFilesDialog() override;

    jobs::ReceiveFilesLogic& Logic() { return m_logic; }
    QLabel* Field(int control) const;
    QPushButton* DoneButton() const { return m_done; }
    QPushButton* FolderButton() const { return m_folder; }
    // Tests and screenshots look at each transfer window while it is open.
    void SetTransferObserver(std::function<void(TransferDialog&)> observer) {
        m_transferObserver = std::move(observer);
    }

  public slots:
    // Escape: Stop (or Done); the window closes only when the job says so.
    void reject() override;

  protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void Refresh();
    void Done();
    void RunTransfer();

    jobs::ReceiveFilesLogic m_logic;
    std::shared_ptr<QtPostTarget> m_target;
    QLabel* m_status;
    QLabel* m_calls;
    QLabel* m_files;
    QLabel* m_space;
    QPushButton* m_folder;
    QPushButton* m_done;
    bool m_started{false};
    std::function<void(TransferDialog&)> m_transferObserver;
};

} // namespace ui
