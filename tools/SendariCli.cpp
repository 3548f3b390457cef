// sendari-cli: the send and receive jobs without a screen. It prepares a job as the main window
// does, runs the real job threads, prints the status lines and a progress line with the transfer
// window's figures, writes the transfer log and ends with the outcome message.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "comm/ModemDiscovery.h"
#include "comm/ModemInstaller.h"
#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/UserMessages.h"
#include "jobs/JobContext.h"
#include "jobs/JobOutcome.h"
#include "jobs/JobPreparation.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/ModemChoice.h"
#include "jobs/ReceiveFilesWindow.h"
#include "jobs/ReceiveJob.h"
#include "jobs/SendJob.h"
#include "jobs/TransferWindow.h"
#include "jobs/WindowStatusReporter.h"
#include "platform/Clock.h"
#include "platform/NetAddress.h"
#include "platform/PostedMessages.h"
#include "platform/Registry.h"
#include "platform/ResourceStrings.h"
#include "platform/Threads.h"
#include "platform/Win32Comm.h"
#include "protocol/FileEngine.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A COM number no installed modem uses, for a device or virtual modem named on the command line.
constexpr int kCommandLinePort = 36;
constexpr int kStringPartialFolder = 50121;
constexpr int kProgressWidth = 30;
constexpr std::uint32_t kLogProgressEveryMs = 5000;

std::atomic<int> g_interrupted{0};
// The running job's requests, while there is one.
std::atomic<jobs::JobRequests*> g_requests{nullptr};

void OnInterrupt(int) {
    // Stop as the user's Stop button would: the worker sees it within half a second and puts
    // the modem back before it ends.
    g_interrupted = 1;
    if (jobs::JobRequests* requests = g_requests.load())
        requests->RequestStop();
}

// Hands Ctrl+C and SIGTERM the job's requests for as long as it lives; one that came before
// stops the job at once.
class StoppedBySignals {
  public:
    explicit StoppedBySignals(jobs::JobRequests& requests) {
        g_requests = &requests;
        if (g_interrupted)
            requests.RequestStop();
    }
    StoppedBySignals(const StoppedBySignals&) = delete;
    StoppedBySignals& operator=(const StoppedBySignals&) = delete;
    ~StoppedBySignals() { g_requests = nullptr; }
};

constexpr const char* kUsage =
    "Usage: sendari-cli send --to NUMBER [--name NAME] [MODEM] FILE...\n"
    "  or:  sendari-cli receive [--once] [--folder DIR] [MODEM]\n"
    "  or:  sendari-cli --help | --version\n"
    "MODEM is nothing (the modem chosen in the settings), --port COMn, --device PATH, or\n"
    "--vmodem ADDR:PORT [--rate BPS|unlimited] (a virtual modem for this run).\n"
    "Progress and messages go to standard error. Exit status: 0 when every named file was\n"
    "sent (send) or the waiting ended normally (receive), 1 when the job failed, 2 for a bad\n"
    "command line. receive --once ends after the first call: 0 when every file of it arrived.\n"
    "--folder DIR receives into DIR for this run only; the settings keep their folder.\n";

struct Options {
    std::string command;
    std::string number;
    std::string name;
    int port{0};
    std::string device;
    std::string vmodem;
    std::string rate;
    std::vector<std::string> files;
    bool once{false};   // receive: end after the first call
    std::string folder; // receive: this run's receive folder
};

// Empty when the command line is sound, else what is wrong with it.
std::string ParseOptions(int argc, char** argv, Options& options) {
    if (argc < 2)
        return "a command is missing (send or receive)";
    options.command = argv[1];
    if (options.command != "send" && options.command != "receive")
        return "unknown command " + options.command;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string missing;
        auto value = [&](std::string& out, const char* what) {
            if (i + 1 >= argc) {
                missing = arg + " wants " + what;
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--to") {
            if (!value(options.number, "a telephone number"))
                return missing;
        } else if (arg == "--name") {
            if (!value(options.name, "a name"))
                return missing;
        } else if (arg == "--port") {
            if (!value(text, "COM1 to COM9"))
                return missing;
            options.port = comm::ParseComPort(text);
            if (options.port < 1 || options.port > comm::ComLink::kPortCount)
                return "--port wants COM1 to COM9";
        } else if (arg == "--device") {
            if (!value(options.device, "a device path"))
                return missing;
        } else if (arg == "--vmodem") {
            if (!value(options.vmodem, "ADDR:PORT"))
                return missing;
        } else if (arg == "--rate") {
            if (!value(options.rate, "a rate in bits per second, or unlimited"))
                return missing;
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--folder") {
            if (!value(options.folder, "a folder"))
                return missing;
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                options.files.push_back(argv[i]);
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (options.command == "send") {
            options.files.push_back(arg);
        } else {
            return "receive takes no files (" + arg + ")";
        }
    }
    const int modemChoices =
        (options.port != 0) + !options.device.empty() + !options.vmodem.empty();
    if (modemChoices > 1)
        return "name one modem: --port, --device or --vmodem";
    if (!options.rate.empty() && options.vmodem.empty())
        return "--rate goes with --vmodem";
    if (options.command == "send" && options.number.empty())
        return "send needs --to NUMBER";
    if (options.command == "send" && options.files.empty())
        return "send needs at least one file";
    if (options.command == "receive" && !options.files.empty())
        return "receive takes no files";
    if (options.command == "send" && (options.once || !options.folder.empty()))
        return "--once and --folder go with receive";
    return {};
}

// Every named file or folder must be readable before a modem is looked for: each one that is
// not is named with the reason.
bool CheckFiles(const std::vector<std::string>& files) {
    bool ok = true;
    for (const std::string& file : files) {
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0 || ::access(file.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "sendari-cli: %s: %s\n", file.c_str(), std::strerror(errno));
            ok = false;
        } else if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            std::fprintf(stderr, "sendari-cli: %s: not a file or folder\n", file.c_str());
            ok = false;
        }
    }
    return ok;
}

void PrintMessage(const jobs::OutcomeMessage& message) {
    if (message.kind == jobs::MessageKind::None)
        return;
    std::fprintf(stderr, "%s\n", message.text.c_str());
    std::fflush(stdout);
}

bool ChooseModem(const Options& options, data::AppSettings& settings, jobs::ModemChoice& choice) {
    if (!options.device.empty() || !options.vmodem.empty()) {
        std::string target = options.device;
        if (!options.vmodem.empty()) {
            target = "vmodem:listen=" + options.vmodem;
            if (const std::string warning = platform::ExposedListenWarning(options.vmodem);
                !warning.empty())
                std::fprintf(stderr, "sendari-cli: %s\n", warning.c_str());
            if (!options.rate.empty())
                target += ";rate=" + options.rate;
        }
        platform::SetPortOverride(kCommandLinePort, target);
        choice = jobs::ModemChoice{};
        choice.extraSettings = settings.extraSettings;
        choice.comNumber = kCommandLinePort;
        return true;
    }
    if (options.port == 0) {
        comm::ModemSelectionHooks hooks;
        hooks.showMessage = [](comm::ModemSelectionHooks::Icon, int, const std::string& text) {
            std::fprintf(stderr, "%s\n", text.c_str());
        };
        hooks.selectModem = [](const comm::ModemListModel& modems) -> std::optional<std::string> {
            std::fprintf(stderr, "Several modems are installed; choose one with --port:\n");
            for (const std::string& name : modems.Names())
                std::fprintf(stderr, "  %s\n", name.c_str());
            return std::nullopt;
        };
        hooks.runControlPanel = [] {
            std::fprintf(stderr,
                         "Add a modem with sendari-modems, or name one with --port, --device or "
                         "--vmodem.\n");
        };
        if (!jobs::EnsureModemSelected(settings, hooks))
            return false;
    }
    jobs::OutcomeMessage failure;
    if (!jobs::FindJobModem(settings, options.port, choice, failure)) {
        PrintMessage(failure);
        return false;
    }
    return true;
}

// Prints status changes and, on a terminal, a progress line redrawn in place.
class Console {
  public:
    Console() : m_terminal{isatty(STDOUT_FILENO) != 0} {}

    void Show(jobs::TransferWindowLogic& window) {
        std::string status = window.ControlText(jobs::kControlStatusLine);
        if (status != m_status) {
            EndProgressLine();
            std::fprintf(stderr, "%s\n", status.c_str());
            m_status = status;
        }
        std::string file = window.ControlText(jobs::kControlFiles);
        int percent = window.ProgressBar();
        std::string bytes = window.ControlText(jobs::kControlBytes);
        if (bytes.empty() && file.empty())
            return;
        char line[512];
        int filled = percent * kProgressWidth / 100;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(kProgressWidth, ' ');
        std::snprintf(line, sizeof line, "[%s] %3d%%  %s  %s  %s  left %s", bar.c_str(), percent,
                      file.c_str(), bytes.c_str(), window.ControlText(jobs::kControlSpeed).c_str(),
                      window.ControlText(jobs::kControlTimeLeft).c_str());
        if (m_terminal) {
            std::fprintf(stderr, "\r%-100s", line);
            m_progressShown = true;
        } else if (file != m_file || (percent == 100 && m_lastPercent != 100) ||
                   platform::TicksSince(m_lastLine) >= kLogProgressEveryMs) {
            // Into a file or pipe: a line per file and one every few seconds, not a redraw.
            std::fprintf(stderr, "%s\n", line);
            m_lastLine = platform::GetTickCount();
        }
        m_file = file;
        m_lastPercent = percent;
        std::fflush(stdout);
    }

    void StatusOnly(std::string text) {
        EndProgressLine();
        auto cut = text.find('%');
        if (cut != std::string::npos)
            text = text.substr(0, cut);
        if (text != m_status)
            std::fprintf(stderr, "%s\n", text.c_str());
        m_status = text;
        std::fflush(stdout);
    }

    void EndProgressLine() {
        if (m_progressShown)
            std::fprintf(stderr, "\n");
        m_progressShown = false;
    }

  private:
    bool m_terminal;
    bool m_progressShown{false};
    std::string m_status;
    std::string m_file;
    int m_lastPercent{-1};
    std::uint32_t m_lastLine{platform::GetTickCount()};
};

void ShowFinalRecords(const jobs::TransferWindowLogic& window) {
    for (const data::FileRecord& record : window.FileRecords()) {
        const char* state = record.failed == data::kRecordSuccessful ? "Successful"
                            : record.failed == data::kRecordSkipped  ? "Skipped"
                                                                     : "Failed";
        std::fprintf(stderr, "  %s  %s\n", state, record.path.c_str());
    }
}

// One line for a call: who called, what arrived and how it ended. True when every file of the
// call arrived and the call ended well.
bool PrintCallSummary(jobs::TransferWindowLogic& window) {
    std::string station;
    int arrived = 0, failed = 0;
    std::int64_t bytes = 0;
    for (const data::FileRecord& record : window.FileRecords()) {
        if (station.empty())
            station = record.peer;
        if (record.Completed()) {
            ++arrived;
            bytes += record.size;
        } else if (record.failed == data::kRecordFailed) {
            ++failed;
        }
    }
    const bool ended = window.Block().finalResult == jobs::kJobSucceeded;
    const bool whole = ended && failed == 0;
    const std::string outcome = whole   ? "every file arrived"
                                : ended ? std::to_string(failed) + " failed"
                                        : "the call failed";
    std::fprintf(stderr, "Call from %s: %d file%s, %lld bytes, %s\n",
                 station.empty() ? "an unnamed station" : station.c_str(), arrived,
                 arrived == 1 ? "" : "s", static_cast<long long>(bytes), outcome.c_str());
    return whole;
}

// The job on the chosen modem with its voice-call state found; none, with the reason printed,
// when the modem cannot be prepared.
std::unique_ptr<jobs::PreparedJob> PrepareJob(const data::AppSettings& settings,
                                              jobs::ModemChoice& choice, bool isSend) {
    jobs::PrepareResult prepared = jobs::PrepareTransferJob(
        settings, choice.comNumber, choice.profile, choice.extraSettings, choice.responses, isSend);
    if (!prepared.job) {
        PrintMessage(prepared.failure);
        return nullptr;
    }
    prepared.job->context.svdInCall = jobs::DetectSvdCall(prepared.job->context);
    return std::move(prepared.job);
}

// Runs a job's window on the console until the job is over; the window's result.
int RunWindow(jobs::TransferWindowLogic& window, Console& console) {
    window.SetObserver([&console](jobs::TransferWindowLogic& w, const platform::PostedMessage&) {
        console.Show(w);
    });
    window.Open();
    window.Start();
    const int result = window.RunModal();
    console.EndProgressLine();
    return result;
}

int RunSend(const Options& options, data::AppSettings& settings, jobs::ModemChoice& choice) {
    std::unique_ptr<jobs::PreparedJob> job = PrepareJob(settings, choice, true);
    if (!job)
        return kExitFailure;
    jobs::JobContext& context = job->context;
    context.destinationName = options.name.empty() ? options.number : options.name;
    context.destinationPhone = options.number;

    std::vector<std::string> sendList;
    bool everyFileListed = true;
    for (const std::string& file : options.files) {
        const std::size_t before = sendList.size();
        data::AddPathToList(file, sendList);
        if (sendList.size() == before) {
            std::fprintf(stderr, "sendari-cli: cannot read %s\n", file.c_str());
            everyFileListed = false;
        }
    }
    // What cannot be sent (ZMODEM carries 32-bit sizes) is named before dialling.
    for (const std::string& path : jobs::FilesThatCannotBeSent(sendList)) {
        std::fprintf(stderr, "sendari-cli: cannot send %s (more than %lld bytes)\n", path.c_str(),
                     static_cast<long long>(protocol::kMaxTransferFileSize));
        std::erase(sendList, path);
        everyFileListed = false;
    }
    if (sendList.empty()) {
        std::fprintf(stderr, "sendari-cli: none of the named files can be read\n");
        return kExitFailure;
    }

    Console console;
    jobs::TransferWindowLogic window(jobs::SendJobThread, context, &sendList);
    int result = 0;
    {
        StoppedBySignals signals(context.requests);
        result = RunWindow(window, console);
    }
    ShowFinalRecords(window);
    jobs::OutcomeMessage outcome =
        jobs::ShowJobOutcome(window.Block().End(true, window.ShownFilesDone()));
    PrintMessage(outcome);
    const bool allSent = everyFileListed && window.Block().refusedFiles.empty();
    return result == jobs::kJobSucceeded && allSent ? kExitSuccess : kExitFailure;
}

int RunReceive(const Options& options, data::AppSettings& settings, jobs::ModemChoice& choice) {
    // This run's folder stands in for the setting in memory only: nothing here saves it.
    if (!options.folder.empty())
        settings.generalReceiveFolder = std::filesystem::absolute(options.folder).string();
    std::unique_ptr<jobs::PreparedJob> job = PrepareJob(settings, choice, false);
    if (!job)
        return kExitFailure;
    jobs::JobContext& context = job->context;
    std::string partial =
        settings.generalReceiveFolder + "/" + platform::ResourceText(kStringPartialFolder);
    if (!data::CreateFolderPath(partial)) {
        std::fprintf(
            stderr, "%s\n",
            platform::FormatMessage1(platform::ResourceText(jobs::kMsgCannotCreateFolder), partial)
                .c_str());
        return kExitFailure;
    }
    context.receiveFolder = partial;
    // Under a service manager (no terminal) the waiting is ended by SIGTERM.
    std::fprintf(stderr, "Waiting for calls; received files go to %s (%s ends the waiting).\n",
                 settings.generalReceiveFolder.c_str(),
                 isatty(STDERR_FILENO) ? "Ctrl+C" : "SIGTERM");

    Console console;
    jobs::ReceiveFilesLogic receiving(context);
    StoppedBySignals signals(context.requests);
    std::string shownStatus;
    int calls = 0;
    bool lastCallWhole = false;
    auto runTransfer = [&] {
        jobs::TransferWindowLogic window(jobs::ReceiveJobThread, context, nullptr);
        RunWindow(window, console);
        ShowFinalRecords(window);
        lastCallWhole = PrintCallSummary(window);
        ++calls;
        receiving.CallFinished(false, window.ShownFilesDone(), window.Block());
        std::fprintf(stderr, "Calls answered: %s, files received: %s\n",
                     receiving.ControlText(jobs::kControlCallsAnswered).c_str(),
                     receiving.ControlText(jobs::kControlFilesReceivedCount).c_str());
        std::fflush(stdout);
    };
    bool ok = receiving.RunModal(runTransfer, [&] {
        if (receiving.StatusText() != shownStatus) {
            shownStatus = receiving.StatusText();
            console.StatusOnly(shownStatus);
        }
        return g_interrupted != 0 || (options.once && calls > 0);
    });
    // Succeeds only when empty: partly received files stay for the next call to resume.
    ::rmdir(partial.c_str());
    if (options.once)
        return calls > 0 && lastCallWhole ? kExitSuccess : kExitFailure;
    return ok ? kExitSuccess : kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            break;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitSuccess;
        } else if (arg == "--version") {
            std::printf("sendari-cli %s\n", SENDARI_VERSION);
            return kExitSuccess;
        }
    }
    Options options;
    if (const std::string error = ParseOptions(argc, argv, options); !error.empty()) {
        std::fprintf(stderr, "sendari-cli: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (options.command == "send" && !CheckFiles(options.files))
        return kExitFailure;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    data::SetMessageHook([](data::MessageKind kind, int, const std::string& text) {
        std::fprintf(stderr, "%s\n", text.c_str());
        if (kind == data::MessageKind::QuestionNoYes)
            return data::MessageAnswer::No;
        return kind == data::MessageKind::QuestionYesNo ? data::MessageAnswer::Yes
                                                        : data::MessageAnswer::Ok;
    });

    jobs::SetOutcomePresenter(PrintMessage);
    // A settings file that could not be read, or was repaired, is named on standard error:
    // at once after loading, and for a repair made by a later save, when the program ends.
    struct RegistryNotices {
        RegistryNotices() = default;
        RegistryNotices(const RegistryNotices&) = delete;
        RegistryNotices& operator=(const RegistryNotices&) = delete;
        ~RegistryNotices() { Print(); }
        static void Print() {
            for (const std::string& notice : platform::TakeRegistryNotices())
                std::fprintf(stderr, "sendari-cli: %s\n", notice.c_str());
        }
    } notices;
    data::AppSettings settings;
    data::LoadSettings(settings);
    RegistryNotices::Print();
    jobs::ModemChoice choice;
    if (!ChooseModem(options, settings, choice))
        return kExitFailure;
    if (options.command == "send")
        return RunSend(options, settings, choice);
    return RunReceive(options, settings, choice);
}
