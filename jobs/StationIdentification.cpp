// Station identification over the modem link. Silence, garbage and missing fields are never
// errors here: the transfer goes ahead with whatever arrived.
#include "jobs/StationIdentification.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "comm/StatusCodes.h"
#include "jobs/ModemDialogue.h"
#include "platform/ResourceStrings.h"

namespace jobs {
namespace {

constexpr int kStringVersionLabel = 50326;
constexpr int kStringMachineLabel = 50327;
constexpr int kStringUserLabel = 50328;
constexpr int kStringPhoneLabel = 50329;
constexpr int kStringStartReceiving = 50330;
constexpr int kStringFirstMachineName = 50331; // + machine type: Macintosh, PC, Unix
constexpr int kStringStartSending = 50334;

// What goes in the machine field between two copies, whatever the own machine type.
constexpr const char* kMachineFieldValue = "0";
constexpr std::string_view kStartWord = "Start";

enum Field { kVersion, kMachine, kUser, kPhone, kFieldCount };

struct FieldLine {
    std::string_view word;
    int labelId; // label of the terminal user's line
};

constexpr std::array<FieldLine, kFieldCount> kFields{{
    {"Vers:", kStringVersionLabel},
    {"CPU:", kStringMachineLabel},
    {"User:", kStringUserLabel},
    {"Phone:", kStringPhoneLabel},
}};

std::string Trimmed(std::string_view text) {
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

int NumberOf(std::string_view text) {
    std::string trimmed = Trimmed(text);
    const char* first = trimmed.c_str();
    if (*first == '+')
        ++first;
    int value = 0;
    std::from_chars(first, trimmed.c_str() + trimmed.size(), value);
    return value;
}

bool BeginsWith(const char* line, std::string_view word) {
    return std::string_view(line).substr(0, word.size()) == word;
}

// Writes a text through the modem, which adds its terminator; a failure is the job's error.
bool Write(JobContext& context, JobStatusBlock& block, const std::string& text) {
    int status =
        context.modem ? context.modem->SendCommand(text.c_str(), false) : comm::kNoSerialObject;
    if (status == comm::kSuccess)
        return true;
    block.StoreError(status);
    return false;
}

// A line from the other side, or the modem's NO CARRIER as kResponseNoCarrier whether or not
// the response table has learnt it yet: the other side has hung up.
int ReadRemoteLine(JobContext& context, char* line, int timeoutMs) {
    int code = WaitForModemResponse(context, line, kModemLineSize, timeoutMs, nullptr, 0);
    if (code != kResponseTimedOut && code != kResponseAborted && code >= 0 &&
        Trimmed(line) == "NO CARRIER")
        return kResponseNoCarrier;
    return code;
}

// The first line from the remote side. Lines the modem may still print after connecting
// (PROTOCOL, CONNECT, CARRIER as the response table knows them) each restart the wait.
int ReadFirstLine(JobContext& context, char* line) {
    for (;;) {
        int code = ReadRemoteLine(context, line, kFirstLineWaitMs);
        if (code != kResponseProtocol && code != kResponseConnect && code != kResponseCarrier)
            return code;
    }
}

bool IsProductLine(int code, const char* line) {
    return code != kResponseTimedOut && std::strcmp(line, kProductName) == 0;
}

// A remote text as it is kept: it is shown in the window and written into the tab-separated
// transfer log, so control characters from the line (a tab above all) become blanks.
std::string RemoteText(std::string_view value) {
    std::string text = Trimmed(value);
    for (char& c : text)
        if (std::iscntrl(static_cast<unsigned char>(c)))
            c = ' ';
    return Trimmed(text);
}

void StoreField(JobContext& context, Field field, std::string_view value) {
    switch (field) {
    case kVersion:
        context.peerVersion = RemoteText(value);
        break;
    case kMachine:
        context.peerMachineType = NumberOf(value);
        break;
    case kUser:
        context.peerUser = RemoteText(value);
        break;
    case kPhone:
        context.peerPhone = RemoteText(value);
        break;
    case kFieldCount:
        break;
    }
}

std::string OwnFieldValue(const JobContext& context, Field field) {
    switch (field) {
    case kVersion:
        return context.ownVersion;
    case kMachine:
        return kMachineFieldValue;
    case kUser:
        return context.stationName;
    case kPhone:
        return context.stationPhone;
    case kFieldCount:
        break;
    }
    return {};
}

std::string FieldLineText(const JobContext& context, Field field) {
    return "\r" + std::string(kFields[field].word) + OwnFieldValue(context, field) + "\r";
}

std::string MachineName(int machineType) {
    if (machineType >= kMachineMacintosh && machineType <= kMachineUnix)
        return platform::ResourceText(kStringFirstMachineName + machineType);
    return std::to_string(machineType);
}

// The same field for a person at a terminal: a label, one blank and a readable value.
std::string TerminalLineText(const JobContext& context, Field field) {
    std::string value =
        field == kMachine ? MachineName(context.ownMachineType) : OwnFieldValue(context, field);
    return "\r" + platform::ResourceText(kFields[field].labelId) + " " + value + "\r\n";
}

std::string StartLineText() {
    return "\r" + std::string(kStartWord) + "\r";
}

std::string TerminalInstruction(int id) {
    return "\r\n\r" + platform::ResourceText(id) + "\r\n\r";
}

// The result for a read that ended without a line: a stop, a link that failed, or the modem's
// NO CARRIER when the other side hung up.
int ReadFailure(JobStatusBlock& block, int code) {
    if (code == kResponseAborted)
        return kJobAborted;
    if (code == kResponseNoCarrier) {
        block.StoreError(comm::kLostCarrier);
        return kJobFailed;
    }
    // Waiting on would only fail again at once, so a dead link ends the exchange.
    block.StoreError(code);
    return kJobFailed;
}

bool ReadFailed(int code) {
    return code == kResponseAborted || code == kResponseNoCarrier || code < 0;
}

} // namespace

int ExchangeIdentificationAsCaller(JobContext& context, JobStatusBlock& block) {
    if (!Write(context, block, "\r\n" + std::string(kProductName) + "\r\n\r\n"))
        return kJobFailed;

    char line[kModemLineSize];
    int code = ReadFirstLine(context, line);
    if (ReadFailed(code))
        return ReadFailure(block, code);
    // A terminal program has nothing to answer with, so it gets only a short look per line.
    context.peerIsSame = IsProductLine(code, line) ? 1 : 0;
    int replyWait = context.peerIsSame ? kFieldReplyWaitMs : kTerminalReplyWaitMs;

    for (int f = 0; f < kFieldCount; ++f) {
        Field field = static_cast<Field>(f);
        std::string text =
            context.peerIsSame ? FieldLineText(context, field) : TerminalLineText(context, field);
        if (!Write(context, block, text))
            return kJobFailed;
        code = ReadRemoteLine(context, line, replyWait);
        if (ReadFailed(code))
            return ReadFailure(block, code);
        if (code != kResponseTimedOut && BeginsWith(line, kFields[f].word))
            StoreField(context, field, line + kFields[f].word.size());
    }

    std::string last =
        context.peerIsSame ? StartLineText() : TerminalInstruction(kStringStartReceiving);
    return Write(context, block, last) ? kJobSucceeded : kJobFailed;
}

int ExchangeIdentificationAsAnswerer(JobContext& context, JobStatusBlock& block) {
    char line[kModemLineSize];
    int code = ReadFirstLine(context, line);
    if (ReadFailed(code))
        return ReadFailure(block, code);
    if (!IsProductLine(code, line)) {
        context.peerIsSame = 0;
        // The caller is a person who will start a plain ZMODEM sender; if this line does not
        // reach them the transfer can still start, so its failure is not the job's.
        if (context.modem)
            context.modem->SendCommand(TerminalInstruction(kStringStartSending).c_str(), false);
        return kJobSucceeded;
    }

    context.peerIsSame = 1;
    if (!Write(context, block, "\r\n" + std::string(kProductName) + "\r\n"))
        return kJobFailed;

    // Lock-step: each field of the caller is stored and answered with the own one; the caller's
    // start line, or 4 s of silence, ends the exchange.
    for (;;) {
        code = ReadRemoteLine(context, line, kFirstLineWaitMs);
        if (ReadFailed(code))
            return ReadFailure(block, code);
        if (code == kResponseTimedOut)
            return kJobSucceeded;
        bool answered = false;
        for (int f = 0; f < kFieldCount && !answered; ++f) {
            if (!BeginsWith(line, kFields[f].word))
                continue;
            Field field = static_cast<Field>(f);
            StoreField(context, field, line + kFields[f].word.size());
            if (!Write(context, block, FieldLineText(context, field)))
                return kJobFailed;
            answered = true;
        }
        if (!answered && BeginsWith(line, kStartWord))
            return Write(context, block, StartLineText()) ? kJobSucceeded : kJobFailed;
    }
}

} // namespace jobs
