// The main window: the banner, the Send Files and Receive Files buttons, the menus, the
// start-up timer, and the receive workflow from the click to the last message.
#pragma once

#include <QMainWindow>

#include <functional>
#include <string>
#include <vector>

#include "data/AppSettings.h"
#include "jobs/JobPreparation.h"

class QPushButton;
class QAction;

namespace ui {

class ReceiveFilesDialog;

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(QWidget* parent = nullptr);

    data::AppSettings& Settings() { return m_settings; }
    QPushButton* SendButton() const { return m_sendButton; }
    QPushButton* ReceiveButton() const { return m_receiveButton; }
    QAction* Action(const QString& objectName) const;
    bool StartedUp() const { return m_startedUp; }
    // While the window prepares, runs or finishes a transfer job (a later start's files are
    // then refused, and the Send and Receive buttons do nothing).
    bool Busy() const { return m_busy; }
    // Tests and screenshots look at the Receive Files window while it is open.
    void SetReceiveObserver(std::function<void(ReceiveFilesDialog&)> observer) {
        m_receiveObserver = std::move(observer);
    }

    // Files named on the command line: sent at start-up once a modem is selected, without the
    // file selection.
    void SetCommandLineFiles(std::vector<std::string> files) {
        m_commandLineFiles = std::move(files);
    }
    std::vector<std::string>& SendList() { return m_sendList; }

    // Files a later start of the program handed over: sent like files named on the command
    // line, straight to the destination. None: the window was only brought to the front.
    void HandOver(std::vector<std::string> paths);
    void SendWorkflow();
    void ReceiveWorkflow();
    void OpenReceiveFolder();
    void ShowOptions(int firstPage);
    void ShowTransferLog();
    void ShowAbout();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void StartUpTimer();
    jobs::PrepareResult PrepareJob(bool isSend);
    QWidget* BuildForm();
    void BuildMenus();

    data::AppSettings m_settings;
    QPushButton* m_sendButton{nullptr};
    QPushButton* m_receiveButton{nullptr};
    std::vector<std::string> m_sendList;
    std::vector<std::string> m_commandLineFiles;
    bool m_filesGiven{false};
    bool m_shown{false};
    bool m_startedUp{false};
    std::function<void(ReceiveFilesDialog&)> m_receiveObserver;
    bool m_busy{false};
};

} // namespace ui
