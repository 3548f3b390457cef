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
class ReceiveTray;

class ReceiveFilesDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ReceiveFilesDialog(jobs::JobContext& context, QWidget* parent = nullptr);
    ~ReceiveFilesDialog() override;

    // Shows the window modal and returns when it closes. Unlike exec(), going to the tray
    // (which hides the window) does not end it.
    int Run();

    jobs::ReceiveFilesLogic& Logic() { return m_logic; }
    // The tray icon while the window waits, or none when the desktop has no tray.
    ReceiveTray* Tray() const { return m_tray.get(); }
    bool InTray() const { return m_inTray; }
    // Quit was chosen in the tray's menu: the program ends once the waiting has.
    bool QuitRequested() const { return m_quitRequested; }
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
    void OpenReceiveFolder();
    void HideToTray();
    void ShowFromTray();
    void LeaveTray(bool showMainWindow);

    jobs::ReceiveFilesLogic m_logic;
    std::shared_ptr<QtPostTarget> m_target;
    QLabel* m_status;
    QLabel* m_calls;
    QLabel* m_files;
    QLabel* m_space;
    QPushButton* m_folder;
    QPushButton* m_done;
    bool m_started{false};
    std::unique_ptr<ReceiveTray> m_tray;
    bool m_inTray{false};
    bool m_quitRequested{false};
    bool m_quitOnLastWindowClosed{true}; // the application's setting before the tray
    std::function<void(TransferDialog&)> m_transferObserver;
};

} // namespace ui
