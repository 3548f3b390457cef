// The sending side's driver: moves bytes between the link and the sender state machine, polls
// for the stop and reports progress, and is the machine's files side: it opens each listed
// file, builds its file information and reads its data.
#include <algorithm>
#include <cstdio>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/Zmodem.h"
#include "protocol/ZmodemDriver.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

// The files side of the sender: the list's files through the file engine.
class Zmodem::SendFiles : public SenderFiles {
  public:
    explicit SendFiles(Zmodem& z) : m_z{z} {}

    SenderOffer Next(unsigned char* info, int capacity) override {
        TransferStatus& st = *m_z.m_status;
        for (;;) {
            m_z.m_engine->ResetSize();
            if (m_z.m_engine->NextFile() != 1)
                return Ended();
            m_z.m_engine->LoadDate();
            m_z.m_localDate = m_z.m_engine->DateAsSeconds();
            m_z.m_engine->Size();
            if (!m_z.OpenTransferFile()) {
                if (st.statusCode != kFileOpenError)
                    return Ended();
                // One file that cannot be read is reported failed; the rest still go.
                m_z.Trace("SendFile: cannot read %s: skipped", st.fileName.c_str());
                st.statusCode = 0;
                Failed();
                continue;
            }
            m_offset = -1;
            st.fileDate = m_z.m_localDate;
            const int length = Information(info, capacity);
            if (length > 0)
                return SenderOffer{SenderOffer::Kind::File, length, 0};
            Close();
            Failed();
        }
    }

    int Read(std::int64_t position, unsigned char* data, int length) override {
        // Reading goes on where the last subpacket ended; only a jump needs a seek (and the
        // seek costs the stream its buffer).
        if (m_offset != position)
            m_z.m_engine->Seek(position, 0);
        const int count = m_z.m_engine->Read(data, length);
        m_offset = count > 0 ? position + count : -1;
        return count;
    }

    std::uint32_t Crc(std::int64_t length) override {
        const Crc32 crc32;
        std::uint32_t crc = Crc32::kSeed;
        unsigned char chunk[kOutputBufferSize];
        m_z.m_engine->Seek(0, 0);
        for (std::int64_t left = length; left > 0;) {
            const int got =
                m_z.m_engine->Read(chunk, static_cast<int>(std::min<std::int64_t>(
                                              left, static_cast<std::int64_t>(sizeof chunk))));
            if (got <= 0)
                break;
            crc = crc32.Update(chunk, got, crc);
            left -= got;
        }
        m_offset = -1; // the next read seeks to where the data starts
        return ~crc;
    }

    void Close() override {
        if (!m_z.m_fileOpen)
            return;
        m_z.m_engine->Close();
        m_z.m_fileOpen = false;
    }

  private:
    SenderOffer Ended() const {
        const int code = m_z.m_status->statusCode;
        return code < 0 ? SenderOffer{SenderOffer::Kind::Fail, 0, code} : SenderOffer{};
    }

    // The job logs a file that could not go as failed.
    void Failed() {
        TransferStatus& st = *m_z.m_status;
        ++st.filesFailed;
        st.Progress(st.statusCode);
    }

    // The name, NUL, decimal size and octal date; 0 when the name does not fit.
    int Information(unsigned char* info, int capacity) {
        TransferStatus& st = *m_z.m_status;
        m_z.Trace("SendFile: sending filename & size");
        const char* name = st.fileName.c_str();
        if (m_z.m_stripPaths) {
            name = StripPath(name);
            m_z.Trace("Stripped filename: %s", name);
        }
        const int date = m_z.m_localDate > 0 ? m_z.m_localDate : 0;
        const int length = std::snprintf(
            reinterpret_cast<char*>(info), static_cast<std::size_t>(capacity), "%s%c%ld %lo 0",
            name, 0, static_cast<long>(st.fileSize), static_cast<unsigned long>(date));
        if (length >= 0 && length < capacity)
            return length;
        // A name that does not fit one subpacket would reach the receiver cut short.
        m_z.Trace("SendFile: file name too long: %s", name);
        return 0;
    }

    Zmodem& m_z;
    std::int64_t m_offset{-1}; // where the next read from the file starts (-1: seek first)
};

Zmodem::Zmodem(comm::GFSerial* serial, TransferStatus* status) : FileTransfer(serial, status) {
    m_status->protocol = kProtocolZmodem;
    m_status->checkType = kCheckCrc32;
}

Zmodem::~Zmodem() = default;

int Zmodem::Send(const char* fileList) {
    m_status->ResetStatus(kDirectionSend);
    if (!PrepareTransfer())
        return m_status->statusCode;
    int list = m_engine->BeginList(fileList, 0);
    if (list != 0)
        return list;
    DiscardInput();
    RunSender();
    return m_status->statusCode;
}

void Zmodem::RunSender() {
    TransferStatus& st = *m_status;
    st.fileName = "<none>";
    st.fileDate = kNoDate;
    st.direction = kDirectionSend;
    SendFiles files{*this};
    SenderOptions options;
    options.retryLimit = m_retryLimit;
    options.windowed = m_windowed;
    options.adaptive = m_adaptiveWindow;
    options.requestResume = m_requestResume;
    options.management = m_management;
    ZmodemSender machine{st, files, options};
    FrameReader reader{kDataBufferCapacity};
    const std::uint32_t start = platform::GetTickCount();
    machine.Start(0);
    while (CarryOutActions(machine.TakeActions(), machine) && !machine.Finished()) {
        // The driver reports progress once a round; the stop is asked for on its own, once
        // what has arrived is read (a confirmation may be waiting behind a lost carrier).
        st.Progress(st.statusCode);
        const TimeMs now = static_cast<TimeMs>(platform::TicksSince(start));
        const bool fed = FeedInput(*this, machine, reader, now);
        if (!InputBuffered() && StopRequested())
            break;
        if (machine.WantsToWrite())
            machine.OnWritable(now);
        else if (!fed)
            WaitForFrames(*this, machine, reader, now, kDriverPollMs);
    }
    if (machine.Finished())
        Fail(machine.Result());
    // Every file was confirmed: a line lost during the goodbye is no failure.
    if (machine.Closing() && st.statusCode < 0 && st.statusCode != kUserCancelled) {
        Trace("CloseLink: the line went during the goodbye (%d)", st.statusCode);
        st.statusCode = 0;
    }
    FinishFile();
    if (st.statusCode == 0 && st.filesDone == 0)
        st.statusCode = kNoFilesSent;
    // The final figures are reported even when the end came without a wait.
    st.Progress(st.statusCode);
}

bool Zmodem::CarryOutActions(const std::vector<ZmodemSender::Action>& actions,
                             const ZmodemSender& machine) {
    using Kind = ZmodemSender::Action::Kind;
    const Check check = machine.FrameCheck();
    static const unsigned char kNoData[1]{};
    for (const ZmodemSender::Action& action : actions) {
        unsigned char line[std::max(kMaxHexHeaderBytes, kMaxBinaryHeaderBytes)];
        switch (action.kind) {
        case Kind::SendHex:
            WriteBufferTimed(line, m_encoder.HexHeader(action.header, line));
            break;
        case Kind::SendBinary:
            WriteBufferTimed(line, m_encoder.BinaryHeader(action.header, check, line));
            break;
        case Kind::SendSubpacket: {
            m_status->checkType = check == Check::Crc32 ? kCheckCrc32 : kCheckCrc16;
            const int n = m_encoder.Subpacket(action.data ? action.data : kNoData, action.length,
                                              action.endCode, check, m_output.get());
            WriteBufferTimed(m_output.get(), n);
            break;
        }
        case Kind::PurgeOutput:
            m_serial->PurgeOutput();
            break;
        case Kind::OverAndOut:
            WriteCharTimed('O');
            WriteCharTimed('O');
            break;
        }
        if (m_status->statusCode < 0)
            return false;
    }
    return true;
}

} // namespace protocol
