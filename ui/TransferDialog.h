// "Transfer Files": shows the transfer window logic of one job and nothing of its own. The
// worker's posted messages arrive as JobEvents; Stop, Escape and the close box go to the
// logic; the window closes once the logic has done its closing work.
#pragma once

#include <QDialog>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jobs/TransferWindow.h"
#include "ui/JobEvents.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace ui {

class TransferDialog : public QDialog {
    Q_OBJECT
  public:
    TransferDialog(jobs::JobThreadProcedure procedure, jobs::JobContext& context,
                   std::vector<std::string>* viewFileList, QWidget* parent = nullptr);
    ~TransferDialog() override;

    jobs::TransferWindowLogic& Logic() { return m_logic; }
    QPushButton* StopButton() const { return m_stop; }
    QLabel* FilesLabel() const { return m_filesLabel; }
    // Shown beside "Dial Now" while a redial is waited for.
    QPushButton* StopWaitingButton() const { return m_stopWaiting; }
    QLabel* Field(int control) const;
    QProgressBar* Progress() const { return m_progress; }

  public slots:
    // Escape: Stop (or Done); the window closes only when the job says so.
    void reject() override;

  protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void Refresh();

    jobs::TransferWindowLogic m_logic;
    std::shared_ptr<QtPostTarget> m_target;
    std::map<int, QLabel*> m_fields;
    QProgressBar* m_progress;
    QPushButton* m_stopWaiting{nullptr};
    QLabel* m_filesLabel{nullptr}; // the words of the files line; its count is a field
    QPushButton* m_stop;
    bool m_started{false};
};

} // namespace ui
