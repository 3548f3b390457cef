// One running copy of the desktop program per user and configuration folder. The first start
// listens on a local socket named after its configuration folder; a later start hands its files
// to it there and ends.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLocalServer;
class QLockFile;

namespace ui {

// The socket's path: in the user's private runtime folder, with the user's number and a digest
// of the configuration folder in its name; empty when the user has no such folder (each start
// then runs alone).
QString InstanceSocketPath();

enum class HandOverResult {
    kNoRunningCopy, // nothing listens: this start becomes the running copy
    kAccepted,      // the running copy took the files, or there were none
    kBusy,          // the running copy is sending or receiving and refused the files
};

// A later start's side: sends `paths` (absolute) and waits for the answer.
HandOverResult HandOverToRunningCopy(const std::vector<std::string>& paths);

class InstanceServer : public QObject {
    Q_OBJECT
  public:
    // Called for each complete hand-over with its paths; returns whether the copy is busy.
    // The answer is sent before `act` runs, so the later start can end first.
    using BusyQuery = std::function<bool()>;
    using Act = std::function<void(std::vector<std::string>)>;

    InstanceServer(BusyQuery busy, Act act, QObject* parent = nullptr);
    ~InstanceServer() override;

    // Listens, taking over a socket left by a copy that ended without removing it.
    bool Listen();

  private:
    void Accept();

    BusyQuery m_busy;
    Act m_act;
    QLocalServer* m_server;
};

// Serialises the look for a running copy and the start of listening between starts that come
// at the same moment (a file manager opening several files at once).
class StartUpLock {
  public:
    StartUpLock();
    ~StartUpLock();
    void Release();

  private:
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace ui
