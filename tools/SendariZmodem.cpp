// sendari-zmodem: sends or receives files with ZMODEM over standard input and output, for a
// terminal user whose terminal program runs an external upload or download command.
//
//   sendari-zmodem [-v] [-t] send FILE...
//   sendari-zmodem [-v] [-t] [--overwrite] [--resume] receive [FOLDER]
//
// The exit status is 0 only when every file went through (for sending: every file was sent
// or the receiver already held it complete).
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comm/FdLink.h"
#include "comm/GFSerial.h"
#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "platform/ResourceStrings.h"
#include "protocol/ZmodemJob.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr long kProgressEveryMs = 500;
// Library status code c is shown as string 20000 - c.
constexpr int kStatusTextBase = 20000;

std::atomic<int> g_stopSignal{0};

void OnStopSignal(int signal) {
    g_stopSignal = signal;
}

void Usage(FILE* to = stderr) {
    std::fprintf(to, "Usage: sendari-zmodem [-v] [-t] send FILE...\n"
                     "  or:  sendari-zmodem [-v] [-t] [--overwrite] [--resume] receive [FOLDER]\n"
                     "Runs ZMODEM over standard input and output.\n"
                     "  -v           progress on standard error\n"
                     "  -t           protocol trace on standard error\n"
                     "  --overwrite  let the sender replace or extend existing files; without\n"
                     "               it an offer whose name is taken arrives as NAME#2\n"
                     "  --resume     resume a shorter copy of an offered file, once the sender\n"
                     "               proves with the CRC of its first bytes that it is the same\n"
                     "Received files go into FOLDER (the current folder by default); links\n"
                     "there are never followed, and no existing file is changed without\n"
                     "--overwrite.\n"
                     "Exit status: 0 when every file went through, 1 when one failed, 2 for a\n"
                     "bad command line.\n");
}

std::string StatusText(int code) {
    std::string_view text = platform::LoadResourceString(kStatusTextBase - code);
    std::string shown = text.empty() ? "Transfer failed" : std::string(text);
    return shown + " (" + std::to_string(code) + ")";
}

// Reports on standard error and answers stop requests from SIGINT, SIGTERM and SIGHUP.
class ConsoleStatus : public protocol::TransferStatus {
  public:
    ConsoleStatus(bool progress, bool trace) : m_progress{progress}, m_trace{trace} {}

    int Progress(int code) override {
        if (!m_progress)
            return code;
        const bool newFile = fileName != m_shownName;
        if (newFile)
            FinishLine(); // the previous file's last figures, which a throttled call hid
        std::uint32_t now = platform::GetTickCount();
        m_position = position;
        m_size = fileSize;
        // Nothing is due most of the time: the call stays cheap on the per-subpacket path.
        if (!newFile && static_cast<long>(now - m_lastShown) < kProgressEveryMs)
            return code;
        m_shownName = fileName;
        m_lastShown = now;
        Show();
        return code;
    }

    void TraceLine(const char* text) override { std::fprintf(stderr, "%s\n", text); }
    void FileRenamed(const std::string& offered, const std::string& stored) override {
        if (m_progress)
            std::fprintf(stderr, "sendari-zmodem: %s exists: received as %s\n", offered.c_str(),
                         stored.c_str());
    }
    bool WantsTraceLines() const override { return m_trace; }

    int AbortRequested() override { return g_stopSignal ? comm::kUserCancelled : 0; }

    void EndProgress() {
        if (m_progress)
            FinishLine();
    }

  private:
    // The record names no file ("<None>") until the first offer.
    bool Named() const { return !m_shownName.empty() && m_shownName[0] != '<'; }
    void Show() const {
        if (Named())
            std::fprintf(stderr, "\r%s: %lld of %lld bytes", m_shownName.c_str(),
                         static_cast<long long>(m_position), static_cast<long long>(m_size));
    }
    void FinishLine() {
        if (!Named())
            return;
        Show();
        std::fputc('\n', stderr);
        m_shownName.clear();
    }

    bool m_progress;
    bool m_trace;
    std::string m_shownName;
    std::uint32_t m_lastShown{0};
    std::int64_t m_position{0};
    std::int64_t m_size{0};
};

bool IsReadableFile(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), R_OK) == 0;
}

int SendFiles(comm::GFSerial& serial, ConsoleStatus& status,
              const std::vector<std::string>& files) {
    std::string list;
    int missing = 0, listed = 0;
    for (const std::string& file : files) {
        // The list separator cannot be part of a name the list carries.
        if (file.find('|') != std::string::npos || !IsReadableFile(file)) {
            std::fprintf(stderr, "sendari-zmodem: cannot send %s\n", file.c_str());
            ++missing;
            continue;
        }
        list += file;
        list += '|';
        ++listed;
    }
    if (listed == 0)
        return kExitFailed;
    auto job = protocol::MakeSendingZmodem(&serial, &status);
    job.transfer->SetCarrierWatch(1);
    int result = job.transfer->Send(list.c_str());
    status.EndProgress();
    const bool allThrough = (result == 0 || result == comm::kNoFilesSent) &&
                            status.filesFailed == 0 &&
                            status.filesDone + status.filesSkipped == listed;
    if (!allThrough && result != 0 && result != comm::kNoFilesSent)
        std::fprintf(stderr, "sendari-zmodem: %s\n", StatusText(result).c_str());
    std::fprintf(stderr, "sendari-zmodem: %d of %d files sent, %d skipped", status.filesDone,
                 listed, status.filesSkipped);
    if (status.filesFailed > 0)
        std::fprintf(stderr, ", %d could not be read", status.filesFailed);
    std::fputc('\n', stderr);
    return allThrough && missing == 0 ? 0 : kExitFailed;
}

int ReceiveFiles(comm::GFSerial& serial, ConsoleStatus& status, const std::string& folder,
                 const protocol::ArrivalPolicy& policy) {
    auto job = protocol::MakeReceivingZmodem(&serial, &status);
    if (!job.engine->SetFolder(folder)) {
        std::fprintf(stderr, "sendari-zmodem: cannot enter %s\n", folder.c_str());
        return kExitFailed;
    }
    job.transfer->SetArrivalPolicy(policy);
    job.transfer->SetCarrierWatch(1);
    int result = job.transfer->Receive();
    status.EndProgress();
    if (result != 0)
        std::fprintf(stderr, "sendari-zmodem: %s\n", StatusText(result).c_str());
    std::fprintf(stderr, "sendari-zmodem: %d files received", status.filesDone);
    if (status.filesFailed > 0)
        std::fprintf(stderr, ", %d could not be stored", status.filesFailed);
    std::fputc('\n', stderr);
    return result == 0 && status.filesFailed == 0 ? 0 : kExitFailed;
}

} // namespace

int main(int argc, char** argv) {
    bool progress = false, trace = false;
    protocol::ArrivalPolicy policy;
    policy.crashRecovery = false;
    policy.overwrite = false;
    // Whoever is on the line is unknown: a copy is resumed only on the proof of its bytes.
    policy.knownStation = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (std::strcmp(argv[i], "-v") == 0) {
            progress = true;
        } else if (std::strcmp(argv[i], "-t") == 0) {
            trace = true;
        } else if (std::strcmp(argv[i], "--overwrite") == 0) {
            policy.overwrite = true;
        } else if (std::strcmp(argv[i], "--resume") == 0) {
            policy.crashRecovery = true;
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("sendari-zmodem %s\n", SENDARI_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "sendari-zmodem: unknown option %s\n", argv[i]);
            Usage();
            return kExitUsage;
        }
    }
    if (i >= argc) {
        Usage();
        return kExitUsage;
    }
    const std::string command = argv[i++];
    std::vector<std::string> arguments(argv + i, argv + argc);
    if ((command != "send" && command != "receive") || (command == "send" && arguments.empty()) ||
        (command == "receive" && arguments.size() > 1)) {
        Usage();
        return kExitUsage;
    }

    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int exitCode;
    {
        comm::FdLink link(STDIN_FILENO, STDOUT_FILENO);
        comm::GFSerial serial(&link);
        ConsoleStatus status(progress, trace);
        if (command == "send")
            exitCode = SendFiles(serial, status, arguments);
        else
            exitCode = ReceiveFiles(serial, status, arguments.empty() ? "." : arguments[0], policy);
    }
    return exitCode;
}
