// The single-instance socket and the hand-over over it.
#include "ui/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QTimer>

#include "jobs/HandOver.h"
#include "platform/Paths.h"

namespace ui {

namespace {
constexpr int kConnectMs = 2000;
// The running copy answers at once unless it is stuck; a later start never waits longer.
constexpr int kReplyMs = 10000;
// A client that sends nothing useful is dropped after this long.
constexpr int kClientMs = 5000;
constexpr int kStartUpLockMs = 5000;

} // namespace

QString InstanceSocketPath() {
    const std::string folder = platform::PrivateRuntimeDirectory();
    if (folder.empty())
        return {};
    const QByteArray config = QByteArray::fromStdString(platform::ConfigDirectory());
    const QByteArray digest =
        QCryptographicHash::hash(config, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("%1/sendari-%2-%3")
        .arg(QString::fromStdString(folder))
        .arg(::getuid())
        .arg(QString::fromLatin1(digest));
}

HandOverResult HandOverToRunningCopy(const std::vector<std::string>& paths) {
    // Only a socket of our own gets the paths: one another user made is not the running copy.
    const QString path = InstanceSocketPath();
    if (path.isEmpty() || !platform::IsOwnSocket(path.toStdString()))
        return HandOverResult::kNoRunningCopy;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kConnectMs))
        return HandOverResult::kNoRunningCopy;
    const std::string message = jobs::EncodeHandOver(paths);
    socket.write(message.data(), static_cast<qint64>(message.size()));
    if (!socket.waitForBytesWritten(kReplyMs))
        return HandOverResult::kAccepted; // the running copy went away; nothing more to do
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(kReplyMs))
            return HandOverResult::kAccepted;
    }
    char reply = 0;
    socket.getChar(&reply);
    return reply == jobs::kHandOverBusy ? HandOverResult::kBusy : HandOverResult::kAccepted;
}

InstanceServer::InstanceServer(BusyQuery busy, Act act, QObject* parent)
    : QObject(parent), m_busy(std::move(busy)), m_act(std::move(act)),
      m_server(new QLocalServer(this)) {
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &InstanceServer::Accept);
}

InstanceServer::~InstanceServer() {
    m_server->close();
}

bool InstanceServer::Listen() {
    const QString path = InstanceSocketPath();
    if (path.isEmpty())
        return false;
    if (m_server->listen(path))
        return true;
    // Nobody answered on it (the caller looked first): a socket left behind by a crash.
    QLocalServer::removeServer(path);
    return m_server->listen(path);
}

void InstanceServer::Accept() {
    while (QLocalSocket* client = m_server->nextPendingConnection()) {
        auto decoder = std::make_shared<jobs::HandOverDecoder>();
        QPointer<QLocalSocket> guard(client);
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        QTimer::singleShot(kClientMs, client, [guard] {
            if (guard)
                guard->disconnectFromServer();
        });
        auto read = [this, client, decoder] {
            const QByteArray bytes = client->readAll();
            if (decoder->Current() != jobs::HandOverDecoder::State::kIncomplete)
                return;
            const auto state = decoder->Feed(
                std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
            if (state == jobs::HandOverDecoder::State::kInvalid) {
                client->disconnectFromServer();
                return;
            }
            if (state != jobs::HandOverDecoder::State::kComplete)
                return;
            std::vector<std::string> paths = decoder->Paths();
            const bool busy = m_busy();
            const char reply = jobs::HandOverReply(busy, paths);
            client->write(&reply, 1);
            client->flush();
            client->disconnectFromServer();
            if (busy)
                paths.clear(); // the waiting files are dropped; the window is still raised
            QTimer::singleShot(
                0, this, [this, paths = std::move(paths)]() mutable { m_act(std::move(paths)); });
        };
        connect(client, &QLocalSocket::readyRead, client, read);
        if (client->bytesAvailable() > 0)
            read();
    }
}

StartUpLock::StartUpLock() {
    const QString path = InstanceSocketPath();
    if (path.isEmpty())
        return;
    m_lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
    m_lock->tryLock(kStartUpLockMs);
}

StartUpLock::~StartUpLock() = default;

void StartUpLock::Release() {
    if (m_lock)
        m_lock->unlock();
}

} // namespace ui
