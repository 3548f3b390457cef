// Time-limited writes, the abort check, the clean-up after a file and the open policy shared
// by every file transfer protocol.
#include "protocol/FileTransfer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "protocol/LocalFileEngine.h"
#include "protocol/ZmodemCodec.h"

namespace protocol {

using namespace comm;

namespace {
constexpr long kWriteCharLimitMs = 30000;
constexpr int kWriteCharFirstReport = 25;
constexpr long kWriteBufferLimitMs = 60000;
constexpr int kWriteBufferFirstReport = 55;
constexpr int kReportStep = 5;
constexpr long kCancelSettleMs = 1000;
constexpr long kDrainCharMs = 55;
// A peer that never stops talking must not keep a failed transfer draining for ever.
constexpr long kDrainLimitMs = 10000;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kBackspace = 0x08;
constexpr int kCancelLength = 10;

// Copies of an offered file whose name is taken by another file are numbered up to this.
constexpr int kMaxCopyNumber = 999;
// The cancel sequence goes out under this bound even when the line does not drain.
constexpr long kCancelWriteLimitMs = 500;
} // namespace

using platform::Expired;
using platform::Remaining;

FileTransfer::FileTransfer(comm::GFSerial* serial, TransferStatus* status)
    : Transfer(serial, status), m_data{new (std::nothrow) unsigned char[kDataBufferCapacity]()},
      m_output{new (std::nothrow) unsigned char[kOutputBufferSize]()} {}

FileTransfer::~FileTransfer() = default;

int FileTransfer::Fail(int code) {
    if (m_status->statusCode >= 0)
        m_status->statusCode = code;
    return m_status->statusCode;
}

int FileTransfer::PrepareTransfer() {
    if (!m_data || !m_output) {
        Trace("Failed to allocate XFER buffer(s)");
        Fail(kTransferNoMemory);
        FinishFile();
        return 0;
    }
    if (m_engine)
        return 1;
    if (m_ownsEngine) {
        m_ownedEngine.reset(new (std::nothrow) LocalFileEngine);
        m_engine = m_ownedEngine.get();
        if (m_engine)
            return 1;
    }
    Trace("File engine is not available");
    Fail(kNoFileEngine);
    FinishFile();
    return 0;
}

void FileTransfer::Trace(const char* format, ...) {
    if (!m_status->WantsTraceLines())
        return;
    va_list args;
    va_start(args, format);
    TraceLineV(*m_status, format, args);
    va_end(args);
}

int FileTransfer::WriteCharTimed(int c) {
    std::uint32_t start = platform::GetTickCount();
    int threshold = kWriteCharFirstReport;
    int result;
    while ((result = m_serial->WriteChar(c)) != 0) {
        long remaining = Remaining(start, kWriteCharLimitMs);
        // Any failure that lasts the whole limit ends the wait, not only a full queue: a
        // link that keeps failing must not hold the transfer for ever.
        if (remaining <= 0) {
            Trace("Timeout error sending buffer");
            Fail(kCannotPutChar);
            break;
        }
        if (CheckAbort())
            return m_status->statusCode;
        int idle = m_serial->Idle();
        if (idle < 0)
            return Fail(idle);
        if (remaining / 1000 <= threshold) {
            Trace("%ld sec left to WriteChar", remaining / 1000);
            threshold -= kReportStep;
        }
    }
    return result;
}

int FileTransfer::WriteBufferTimed(const unsigned char* data, int length) {
    // A write the queue takes at once needs no stop check: the protocol checks once per
    // step, and every wait below checks again.
    int sent = m_serial->WriteBuffer(data, length);
    if (sent == length)
        return sent;
    std::uint32_t start = platform::GetTickCount();
    if (sent < 0)
        sent = 0;
    int threshold = kWriteBufferFirstReport;
    // Whatever way the wait ends, the rest is no longer waiting.
    struct Unsent {
        int& count;
        ~Unsent() { count = 0; }
    } unsent{m_status->unsent};
    for (;;) {
        // The rest goes out as the queue makes room, in one call per round rather than a
        // call per byte.
        int wrote = m_serial->WriteBuffer(data + sent, length - sent);
        if (wrote > 0)
            sent += wrote;
        if (sent >= length)
            return 0;
        unsent.count = length - sent;
        long remaining = Remaining(start, kWriteBufferLimitMs);
        if (wrote <= 0 && CancelQueued()) {
            Trace("Cancel heard while the output could not drain");
            return Fail(kRemoteCancelled);
        }
        if (wrote <= 0 && remaining <= 0) {
            Trace("Timeout error sending buffer");
            Fail(kCannotPutBuffer);
            return kCannotPutBuffer;
        }
        if (CheckAbort())
            return kUserCancelled;
        int idle = m_serial->Idle();
        if (idle < 0)
            return Fail(idle);
        if (remaining / 1000 <= threshold) {
            Trace("%ld sec to complete WriteBuffer", remaining / 1000);
            threshold -= kReportStep;
        }
    }
}

int FileTransfer::CheckAbort() {
    m_status->Progress(m_status->statusCode);
    return StopRequested();
}

int FileTransfer::StopRequested() {
    if (m_status->statusCode < 0)
        return 0;
    int answer = m_status->AbortRequested();
    if (answer != 0) {
        m_status->statusCode = answer < 0 ? answer : kUserCancelled;
    } else if (m_carrierWatch) {
        if (m_lineStatus) {
            m_lineStatus->Refresh();
            if (m_lineStatus->CarrierDetect())
                return 0;
        }
        m_status->statusCode = kCarrierLost;
    } else {
        return 0;
    }
    Trace("Transfer aborted...");
    FinishFile();
    return 1;
}

void FileTransfer::FinishFile() {
    if (m_engine && m_fileOpen) {
        if (m_status->direction == kDirectionReceive && m_status->fileDate != kNoDate) {
            m_engine->SetDateFromSeconds(m_status->fileDate);
            m_engine->ApplyDate();
        }
        m_engine->Close();
        m_fileOpen = false;
    }
    int status = m_status->statusCode;
    if (status == 0)
        return;
    bool cancel = m_status->protocol < kProtocolFamilyLimit ||
                  (m_status->protocol == kProtocolZmodem && m_data && status != kRemoteCancelled);
    if (cancel)
        SendCancel();
    DiscardFor(kCancelSettleMs);
    std::uint32_t start = platform::GetTickCount();
    while (InputWaiting() && !Expired(start, kDrainLimitMs)) {
        m_readPosition = m_readEnd;
        ReadTimed(kDrainCharMs);
    }
}

void FileTransfer::SendCancel() {
    // What is still queued is of no use now, and the cancel must not wait behind it.
    m_serial->PurgeOutput();
    unsigned char sequence[2 * kCancelLength];
    std::memset(sequence, kCan, kCancelLength);
    std::memset(sequence + kCancelLength, kBackspace, kCancelLength);
    const int length = static_cast<int>(sizeof sequence);
    std::uint32_t start = platform::GetTickCount();
    int sent = 0;
    for (;;) {
        int wrote = m_serial->WriteBuffer(sequence + sent, length - sent);
        if (wrote > 0)
            sent += wrote;
        if (sent >= length || Expired(start, kCancelWriteLimitMs) || m_serial->Idle() < 0)
            return;
    }
}

void FileTransfer::DiscardFor(long milliseconds) {
    // Reading what arrives, rather than only idling, keeps the wait asleep on the line even
    // while the other side goes on talking.
    std::uint32_t start = platform::GetTickCount();
    for (long left = milliseconds; left > 0; left = Remaining(start, milliseconds)) {
        m_readPosition = m_readEnd;
        int c = ReadTimed(left);
        if (c < 0 && c != kTimedOut)
            return;
    }
    m_readPosition = m_readEnd;
}

const char* FileTransfer::StripPath(const char* name) {
    const char* slash = nullptr;
    for (const char* p = name; *p; ++p) {
        if (*p == '\\' || *p == '/')
            slash = p;
    }
    if (slash)
        return slash + 1;
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

bool FileTransfer::OpenReceived(const char* mode) {
    m_fileOpen = m_engine->Open(m_status->fileName, mode) == 0;
    if (m_fileOpen)
        m_arrivedNames.insert(m_status->fileName);
    return m_fileOpen;
}

void FileTransfer::ReceiveAsNewCopy() {
    // The local file of the offered name is some other file, or one that is not ours to
    // write: it stays as it is, and the offer is received from the start under a free name.
    m_status->position = 0;
    const std::string offered = m_status->fileName;
    for (int number = 2; number <= kMaxCopyNumber; ++number) {
        m_status->fileName = platform::NumberedPath(offered, number);
        if (OpenReceived("wbx")) {
            Trace("Receiving %s as %s", offered.c_str(), m_status->fileName.c_str());
            m_status->FileRenamed(offered, m_status->fileName);
            return;
        }
    }
    m_status->fileName = offered;
}

void FileTransfer::Skip() {
    m_fileOpen = false;
    Fail(kShouldSendZskip);
}

OfferedFile FileTransfer::Offer() const {
    return OfferedFile{m_status->fileSize, m_status->fileDate, m_conversion, m_management};
}

ArrivalDecision FileTransfer::DecideOffer() const {
    ArrivalProofs proofs = m_proofs;
    ArrivalDecision decision =
        DecideArrival(Offer(), m_localEntry, m_filedMatch, m_arrivalPolicy, proofs);
    // What is still to be proven is, at this layer, a question the sender did not answer.
    for (int round = 0; round < 2 && decision.action == ArrivalAction::Verify; ++round) {
        (decision.subject == VerifySubject::Filed ? proofs.filed : proofs.copy) = Proof::NoAnswer;
        decision = DecideArrival(Offer(), m_localEntry, m_filedMatch, m_arrivalPolicy, proofs);
    }
    return decision;
}

void FileTransfer::CarryOut(const ArrivalDecision& decision) {
    TransferStatus& st = *m_status;
    Trace("Opening file %s", st.fileName.c_str());
    Trace("Arrival: %s", ArrivalActionName(decision.action));
    switch (decision.action) {
    case ArrivalAction::Receive:
        // Created exclusively: a file that appeared since the look-up is left alone.
        if (!OpenReceived("wbx"))
            ReceiveAsNewCopy();
        break;
    case ArrivalAction::ReceiveCopy:
        ReceiveAsNewCopy();
        break;
    case ArrivalAction::Resume:
    case ArrivalAction::Append:
        // Never created here, and still as long as when it was looked at: a copy that
        // changed since is not the one the decision was about.
        if (!OpenReceived("r+b") || m_engine->StoredSize() != decision.position ||
            m_engine->Seek(decision.position, 0) != 0) {
            if (m_fileOpen)
                m_engine->Close();
            m_fileOpen = false;
            m_arrivedNames.erase(st.fileName);
            ReceiveAsNewCopy();
            break;
        }
        // Resumed, the data continues the copy from its end; appended, the whole offer is
        // written after the end of the local file.
        if (decision.action == ArrivalAction::Resume)
            st.position = decision.position;
        else
            m_writeBase = decision.position;
        Trace(decision.action == ArrivalAction::Resume ? "Resuming at offset %ld"
                                                       : "Appending at offset %ld",
              static_cast<long>(decision.position));
        break;
    case ArrivalAction::Replace:
        OpenReceived("wb");
        break;
    case ArrivalAction::Skip:
        Skip();
        break;
    case ArrivalAction::AlreadyFiled:
        st.position = decision.position;
        m_alreadyFiled = true;
        Trace("%s was filed whole by an earlier call", st.fileName.c_str());
        st.fileName.clear(); // no file of its own in the window
        break;
    case ArrivalAction::Verify:
        break; // DecideOffer never leaves a question open
    }
}

int FileTransfer::OpenTransferFile() {
    TransferStatus& st = *m_status;
    st.position = 0;
    m_writeBase = 0;
    m_alreadyFiled = false;
    if (st.direction == kDirectionSend) {
        st.fileName = m_engine->CurrentPath();
        m_fileOpen = m_engine->Open(st.fileName, "rb") == 0;
    } else {
        CarryOut(DecideOffer());
    }
    if (m_fileOpen) {
        // A received file is counted by the receiver once it has arrived whole, not here: a
        // count that rose at the open and fell back would make the window close the file's
        // record early, and a broken file must never show as received.
        if (st.direction != kDirectionReceive) {
            const std::int64_t size = m_engine->Size();
            if (size < 0) {
                // Larger than 32-bit positions can carry: refuse rather than send it wrong.
                Trace("File too large to transfer: %s", st.fileName.c_str());
                m_engine->Close();
                m_fileOpen = false;
                Fail(kFileOpenError);
                return 0;
            }
            st.fileSize = size;
        }
        // The driver shows the file and asks for a stop on its next round.
        return 1;
    }
    if (st.statusCode == kShouldSendZskip || m_alreadyFiled)
        return 1;
    // The caller decides whether the run goes on without this file.
    Fail(kFileOpenError);
    Trace("Failed to open file");
    return 0;
}

int FileTransfer::WaitIdle(long milliseconds) {
    std::uint32_t start = platform::GetTickCount();
    while (!Expired(start, milliseconds)) {
        int idle = m_serial->Idle();
        if (idle < 0)
            return idle;
    }
    return 0;
}

bool FileTransfer::FillReadBuffer() {
    int got = m_serial->Link()->ReadBuffer(m_readBuffer, kReadBufferSize);
    if (got <= 0)
        return false;
    m_readPosition = 0;
    m_readEnd = got;
    return true;
}

bool FileTransfer::CancelQueued() {
    if (m_readPosition > 0) {
        std::memmove(m_readBuffer, m_readBuffer + m_readPosition,
                     static_cast<std::size_t>(m_readEnd - m_readPosition));
        m_readEnd -= m_readPosition;
        m_readPosition = 0;
    }
    if (m_readEnd < kReadBufferSize) {
        const int got =
            m_serial->Link()->ReadBuffer(m_readBuffer + m_readEnd, kReadBufferSize - m_readEnd);
        if (got > 0)
            m_readEnd += got;
    }
    int run = 0;
    for (int i = 0; i < m_readEnd && run < zmodem::kCancelCount; ++i)
        run = m_readBuffer[i] == zmodem::kCan ? run + 1 : 0;
    return run >= zmodem::kCancelCount;
}

int FileTransfer::AwaitInput(long timeoutMs) {
    std::uint32_t start = platform::GetTickCount();
    for (;;) {
        if (InputWaiting())
            return 1;
        if (timeoutMs <= 0 || Expired(start, timeoutMs))
            return 0;
        int idle = m_serial->Idle();
        if (idle < 0)
            return idle;
    }
}

int FileTransfer::ReadTimedSlow(long timeoutMs) {
    const int got = AwaitInput(timeoutMs);
    if (got <= 0)
        return got == 0 ? kTimedOut : got;
    return m_readBuffer[m_readPosition++];
}

long FileTransfer::OutputQueued() {
    comm::QueueStatus queue;
    if (m_serial->Link()->GetQueueStatus(queue) < 0)
        return 0;
    return queue.transmitCount;
}

void FileTransfer::DiscardInput() {
    m_readPosition = m_readEnd = 0;
    m_serial->PurgeInput(0);
}

} // namespace protocol
