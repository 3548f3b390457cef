// The one message a user sees when a transfer job is over: chosen from the job result, and
// for a failed job from the error code and the phase the job was in when it failed.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace jobs {

// Job results stored in the status block at the end of a job.
inline constexpr int kJobSucceeded = 0;
inline constexpr int kJobNoAnswer = 1;
inline constexpr int kJobFailed = 3;
inline constexpr int kJobAborted = 4;
inline constexpr int kJobBusy = 5;
inline constexpr int kJobRetriesExhausted = 8;

// Both self-closing windows close after this long so an unattended receiver is never held up.
inline constexpr int kSelfCloseMs = 15000;
inline constexpr int kFilesReceivedTimerId = 1002;
inline constexpr int kTimedMessageTimerId = 1003;

enum class MessageIcon { None, Information, Warning };

enum class MessageKind {
    None,          // nothing is shown (the user stopped the job)
    MessageBox,    // a message box (sending side)
    TimedMessage,  // the self-closing timed message dialog (receiving side)
    FilesReceived, // the self-closing Files Received notice
};

struct OutcomeMessage {
    MessageKind kind{MessageKind::None};
    int stringId{0};  // the main string of the message (0 when none)
    std::string text; // the full text as shown
    MessageIcon icon{MessageIcon::None};
    int filesReceived{0};
};

// What the decision needs from a finished job.
struct JobEnd {
    bool isSend{true};
    int files{0};                     // files sent (send) or received (receive)
    int finalResult{0};               // one of the kJob* results
    int errorCode{0};                 // negative status code or positive modem response code
    int statusAtError{0};             // status id current when the error was stored
    int fileRecords{0};               // file records the window made
    std::vector<std::string> refused; // files to send that could not be read
};

// The message for a finished job.
OutcomeMessage ShowJobOutcome(const JobEnd& end);
// The explanation of a failed job (final result 3).
OutcomeMessage ShowJobError(const JobEnd& end);

// The text of the Files Received notice for a number of files.
std::string FilesReceivedText(int files);

// Shows a chosen message; the user interface installs a presenter with real windows.
using OutcomePresenter = std::function<void(const OutcomeMessage&)>;

// Installs the presenter (the user interface: a message box for the sending side, the
// self-closing timed message or Files Received notice for the receiving side). Without one,
// messages go to the standard error stream. An empty presenter restores that default.
void SetOutcomePresenter(OutcomePresenter presenter);

class JobStatusBlock;

// Called on the user-interface thread after the job's window has closed: choose the message
// from the status block and present it. Return what was presented (kind None: nothing).
OutcomeMessage ShowJobOutcome(bool isSend, int files, const JobStatusBlock& block);
OutcomeMessage ShowJobError(bool isSend, const JobStatusBlock& block);

} // namespace jobs
