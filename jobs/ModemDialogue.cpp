// Modem answers on the job's worker thread. Every wait here is cut into slices of at most half
// a second with a look at the abort flag after each, so a Stop is never held up by the modem.
#include "jobs/ModemDialogue.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "platform/Clock.h"

namespace jobs {
namespace {

struct ResponseWord {
    std::string_view word;
    ResponseCode code;
};

// Tested in this order; the first word a line begins with decides.
constexpr std::array<ResponseWord, 10> kResponseWords{{
    {"OK", kResponseOk},
    {"PROTOCOL", kResponseProtocol},
    {"CONNECT", kResponseConnect},
    {"ERROR", kResponseError},
    {"NO CARRIER", kResponseNoCarrier},
    {"NO DIALTONE", kResponseNoDialtone},
    {"NO DIAL TONE", kResponseNoDialtone},
    {"BUSY", kResponseBusy},
    {"CARRIER", kResponseCarrier},
    {"RING", kResponseRing},
}};

constexpr long kSvdAnswerMs = 5000;
constexpr long kSvdEventMs = 1000;
constexpr int kSvdLineSize = 255;
constexpr std::string_view kOffHookEvent{"\x10t", 2}; // DLE "t": a handset was lifted

void ToUpper(char* text) {
    for (char* p = text; *p; ++p)
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
}

// Adds a piece of a line to what is held, as much as a buffer of `size` bytes can take.
void Keep(std::string& held, const char* piece, int size) {
    std::size_t room = static_cast<std::size_t>(size - 1) - held.size();
    held.append(piece, std::min(std::strlen(piece), room));
}

// The decimal number that starts at the first digit of the line ("CONNECT 28800/V42" gives
// 28800); a number too large for the field is held at the largest value rather than wrapped.
int RateOf(std::string_view line) {
    std::size_t at = 0;
    while (at < line.size() && !std::isdigit(static_cast<unsigned char>(line[at])))
        ++at;
    long long rate = 0;
    for (; at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])); ++at) {
        rate = rate * 10 + (line[at] - '0');
        if (rate > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(rate);
}

// Stores a failing answer as the job's error, or reports the stop that ended the wait.
int ExpectOk(JobContext& context, JobStatusBlock& block) {
    char line[kModemLineSize];
    const ModemResponse* entry = nullptr;
    int code = WaitForModemResponse(context, line, sizeof line, kModemAnswerMs, &entry, 1);
    if (code == kResponseOk)
        return kJobSucceeded;
    if (code == kResponseAborted)
        return kJobAborted;
    block.StoreError(code);
    return kJobFailed;
}

// A command's result: 0 goes on, a stop seen in one of its pauses ends the job as stopped,
// anything else is stored as the job's error.
int Sent(JobStatusBlock& block, int status) {
    if (status == comm::kSuccess)
        return kJobSucceeded;
    if (status == comm::kUserAbort)
        return kJobAborted;
    block.StoreError(status);
    return kJobFailed;
}

bool IsBlank(std::string_view text) {
    return text.find_first_not_of("\r\n") == std::string_view::npos;
}

// One answer line of the SVD probe. The echo of the command and the blank line a verbose
// modem puts before its answer are each passed over once.
std::string ReadSvdAnswer(comm::GFSerial& link, std::string_view command) {
    char buffer[kSvdLineSize + 1];
    bool echoSkipped = false;
    bool blankSkipped = false;
    for (;;) {
        int got = link.ReadString(buffer, kSvdLineSize, '\r', kSvdAnswerMs);
        std::string text = got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
        if (!echoSkipped && text.find(command) != std::string::npos) {
            echoSkipped = true;
            continue;
        }
        if (!blankSkipped && !text.empty() && IsBlank(text)) {
            blankSkipped = true;
            continue;
        }
        return text;
    }
}

bool ConfirmSvdCommand(comm::GFSerial& link, std::string_view command) {
    if (link.WriteString(std::string(command).c_str(), '\r') < 0)
        return false;
    std::string answer = ReadSvdAnswer(link, command);
    return answer.find('0') != std::string::npos || answer.find("OK") != std::string::npos;
}

} // namespace

int JobModem::PollHook() {
    return m_requests && m_requests->StopRequested() ? comm::kUserAbort : comm::kSuccess;
}

std::unique_ptr<ModemResponse> MakeResponseEntry(const char* line) {
    if (!line || !*line)
        return nullptr;
    std::string text(line);
    ToUpper(text.data());
    for (const ResponseWord& w : kResponseWords) {
        if (std::string_view(text).substr(0, w.word.size()) != w.word)
            continue;
        auto entry = std::make_unique<ModemResponse>();
        entry->code = static_cast<std::uint8_t>(w.code);
        if (w.code == kResponseConnect || w.code == kResponseCarrier)
            entry->dceRate = RateOf(text);
        entry->text = std::move(text);
        return entry;
    }
    return nullptr;
}

int WaitForModemResponse(JobContext& context, char* buffer, int size, int timeoutMs,
                         const ModemResponse** entry, int classify) {
    if (entry)
        *entry = nullptr;
    if (!buffer || size < 2)
        return comm::kBadArgument;
    buffer[0] = '\0';
    if (!context.modem)
        return comm::kNoSerialObject;

    // The modem's read budget only counts the waits for input, so a modem that keeps printing
    // lines nobody knows would never use it up; the clock bounds the whole wait as well.
    const std::uint32_t start = platform::GetTickCount();
    int remaining = std::max(timeoutMs, 1);
    std::string held;
    std::string asReceived;
    for (;;) {
        int slice = std::min(remaining, kResponseSliceMs);
        int left = context.modem->ReadLine(buffer, size, slice);
        if (left < 0) {
            if (context.requests.StopRequested())
                return kResponseAborted;
            return left; // the link failed
        }
        remaining = remaining - slice + left;

        if (left == 0 && buffer[0] != '\0') {
            // The slice ran out in the middle of a line: keep what came, the rest follows. A
            // line spread over several slices keeps every piece.
            Keep(held, buffer, size);
        } else {
            if (!held.empty()) {
                Keep(held, buffer, size);
                std::memcpy(buffer, held.c_str(), held.size() + 1);
                held.clear();
            }
            if (context.requests.StopRequested())
                return kResponseAborted;
            if (buffer[0] != '\0') {
                if (classify == 0)
                    asReceived = buffer;
                ToUpper(buffer);
                for (const auto& known : context.responses) {
                    if (known->text == buffer) {
                        if (entry)
                            *entry = known.get();
                        return known->code;
                    }
                }
                if (classify == 0) {
                    std::memcpy(buffer, asReceived.c_str(), asReceived.size() + 1);
                    return kResponseUnrecognised;
                }
                if (std::unique_ptr<ModemResponse> made = MakeResponseEntry(buffer)) {
                    const ModemResponse* added = made.get();
                    context.responses.push_back(std::move(made));
                    if (entry)
                        *entry = added;
                    return added->code;
                }
                // An echo or a line that is no modem response: wait on.
            }
        }
        if (context.requests.StopRequested())
            return kResponseAborted;
        if (remaining <= 0 || static_cast<int>(platform::TicksSince(start)) >= timeoutMs)
            return kResponseTimedOut;
    }
}

int InitializeModemForJob(JobContext& context, JobStatusBlock& block) {
    SetJobStatus(block, kStatusInitializingModem);
    if (!context.modem || !context.link) {
        block.StoreError(comm::kNoSerialObject);
        return kJobFailed;
    }
    comm::HayesModem& modem = *context.modem;

    int result =
        Sent(block, modem.OpenForJob(context.link, &context.profile, context.svdInCall != 0));
    if (result == kJobSucceeded)
        result = ExpectOk(context, block);
    // A modem whose profile has no command for the chosen volume keeps its own setting: an
    // empty entry is skipped, not a failure of every job.
    const int speaker = context.speakerMode;
    const bool noSpeakerCommand = speaker >= 0 &&
                                  speaker < comm::ModemProfile::kSpeakerCommandCount &&
                                  context.profile.speakerCommands[speaker].empty();
    if (result == kJobSucceeded && !noSpeakerCommand) {
        result = Sent(block, modem.SetSpeakerMode(speaker));
        if (result == kJobSucceeded)
            result = ExpectOk(context, block);
    }
    if (result == kJobSucceeded && context.settings &&
        context.settings->modemType == data::kModemDsvd) {
        result = Sent(block, modem.SendCommand(kDsvdEnableCommand, true));
        if (result == kJobSucceeded)
            result = ExpectOk(context, block);
    }
    if (result != kJobSucceeded)
        return result;

    // A failure from here on is the user's extra settings, not the modem set-up.
    SetJobStatus(block, kStatusExtraSettings);
    if (context.extraSettings.empty())
        return kJobSucceeded;
    result = Sent(block, modem.SendCommand(context.extraSettings.c_str(), true));
    if (result == kJobSucceeded)
        result = ExpectOk(context, block);
    return result;
}

int DetectSvdCall(JobContext& context) {
    if (!context.settings || context.settings->modemType != data::kModemSvd || !context.link)
        return 0;
    comm::GFSerial& link = *context.link;
    constexpr std::string_view kDataMode = "AT#CLS=0";
    constexpr std::string_view kVoiceMode = "AT#CLS=8";
    constexpr std::string_view kStartSvd = "AT#CLS=0-SMS=2";

    link.PurgeInput(0);
    if (!ConfirmSvdCommand(link, kDataMode) || !ConfirmSvdCommand(link, kVoiceMode))
        return 0;
    char event[kSvdLineSize + 1];
    int got = link.ReadString(event, kSvdLineSize, '\r', kSvdEventMs);
    bool seen =
        got > 0 && std::string_view(event, static_cast<std::size_t>(got)).find(kOffHookEvent) !=
                       std::string_view::npos;

    // Back to data mode in any case; with a handset up, data starts inside the voice call.
    std::string_view leave = seen ? kStartSvd : kDataMode;
    if (link.WriteString(std::string(leave).c_str(), '\r') >= 0)
        ReadSvdAnswer(link, leave);
    return seen ? 1 : 0;
}

} // namespace jobs
