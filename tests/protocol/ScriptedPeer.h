// A ZMODEM peer written as a script: reads and writes frames through a link directly, a call
// per frame (hex and binary headers, data subpackets, the garbage, cancel and time-out rules of
// a header wait), so that a test can play a sender or a receiver that behaves, or misbehaves,
// exactly as it says.
#pragma once

#include <cstdint>
#include <optional>

#include "comm/StatusCodes.h"
#include "protocol/FileTransfer.h"
#include "protocol/ZmodemCodec.h"

namespace prototest {

// Header form recorded when no header start was found.
inline constexpr int kNoHeaderForm = -802;

// What a header read does with a damaged or missing header: hand it to the caller, or count
// it and wait on until the retry limit.
enum class OnHeaderError { Return, Retry };

class ScriptedPeer : public protocol::FileTransfer {
  public:
    static constexpr int kHeaderCharTimeoutMs = 2500;
    static constexpr int kPadTimeoutMs = 1000;
    static constexpr int kPadSilenceLimit = 10;
    // How long a hex header's line end may take to follow its digits.
    static constexpr int kHexLineEndWaitMs = 55;

    ScriptedPeer(comm::GFSerial* serial, protocol::TransferStatus* status = nullptr);

    // A script sends and receives frame by frame; it runs no transfer of its own.
    int Send(const char*) override { return comm::kTransferError; }
    int Receive() override { return comm::kTransferError; }

    // Frame type 0-19, or a negative code. With OnHeaderError::Retry, damaged headers are
    // counted and the wait goes on until the retry limit.
    int ReadFrameHeader(OnHeaderError onError) { return ReadHeaderLoop(onError, true); }
    // The frame header loop; `silenceCounts` decides whether a wait that found no header at
    // all is an error or only a time-out.
    int ReadHeaderLoop(OnHeaderError onError, bool silenceCounts);
    // The end code with the data in the data buffer and its length in the block length, or
    // kGeneralTransferError (bad CRC), kBufferFull (too long) or another negative code.
    int ReadDataSubpacket();

    int SendHexHeader(int type, const unsigned char header[4]);
    int SendBinaryHeader(int type, const unsigned char header[4]);
    int SendDataSubpacket(int length, int endCode);

    // The four bytes as an unsigned 32-bit number (a position, a size or a CRC).
    static std::int64_t PositionFromHeader(const unsigned char header[4]);
    static void PositionToHeader(std::int64_t position, unsigned char header[4]);

    const unsigned char* ReceivedHeader() const { return m_receivedHeader; }
    int HeaderForm() const { return m_headerForm; }
    int HexHeaderTerminated() const { return m_hexTerminated; }
    unsigned char* DataBuffer() { return m_data.get(); }

    // What the other side announced in its ZRINIT: the check this side's frames carry.
    void SetReceiverCapabilities(int flags, int bufferSize) {
        m_receiverFlags = flags;
        m_receiverBufferSize = bufferSize;
    }
    int ReceiverFlags() const { return m_receiverFlags; }
    void SetRetryLimit(int limit) { m_retryLimit = limit; }

  private:
    // How one wait for a header ended.
    enum class HeaderWait { Header, Damaged, CutOff, Silent, Garbage, Stopped };
    // The silences counted in one wait for a header.
    struct HeaderSilence {
        int count{0};
        long queued{-1}; // output queued at the last silence; asked only when one passes
        // The start of a stretch in which only flow-control characters came.
        bool quietKnown{false};
        std::uint32_t quietSince{0};
    };

    bool CountError();
    HeaderWait AwaitHeader();
    std::optional<HeaderWait> WaitForHeaderBytes(HeaderSilence& silence);
    bool OnlyFlowControlCame(HeaderSilence& silence);
    bool OneMoreSilence(HeaderSilence& silence);
    HeaderWait HeaderEnded(protocol::zmodem::HeaderDecoder::Result result);
    void TraceDamagedHeader();
    int SubpacketEnded(protocol::zmodem::SubpacketDecoder::Result result);
    int TakeHeader(const protocol::zmodem::Header& header);
    protocol::zmodem::Check SendCheck() const;
    static protocol::zmodem::Header MakeHeader(int type, const unsigned char data[4]);

    int m_receiverFlags{0};
    int m_receiverBufferSize{0};
    int m_retryLimit{10};
    unsigned char m_receivedHeader[4]{};
    int m_headerForm{kNoHeaderForm};
    int m_hexTerminated{0};
    protocol::zmodem::FrameEncoder m_encoder;
    protocol::zmodem::SubpacketDecoder m_subpacket;
    protocol::zmodem::HeaderDecoder m_headers;
};

} // namespace prototest
