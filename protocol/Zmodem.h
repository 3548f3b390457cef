// ZMODEM over a link: the protocol's options and the drivers that run the sender and receiver
// state machines over it, with their files sides.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "protocol/Checksum.h"
#include "protocol/FileTransfer.h"
#include "protocol/ZmodemCodec.h"
#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemReceiver.h"
#include "protocol/ZmodemSender.h"

namespace protocol {

class Zmodem : public FileTransfer {
  public:
    // Worst case of one subpacket: every data byte escaped, ZDLE and end code, an escaped
    // CRC-32 and an XON.
    static constexpr int kMaxEncodedSubpacket = 2 * kDataBufferSize + 2 + 8 + 1;
    static_assert(kMaxEncodedSubpacket <= kOutputBufferSize);

    Zmodem(comm::GFSerial* serial, TransferStatus* status = nullptr);
    ~Zmodem() override;

    // Sends every file the list names; 0, kNoFilesSent when no file went out, or the failure code.
    int Send(const char* fileList) override;
    // Receives files into the current folder until the sender's ZFIN, running ZmodemReceiver
    // over the link; 0 when the sender finished normally (also when no file came), else the
    // failure code.
    int Receive() override;

    void SetStripPaths(bool on) { m_stripPaths = on; }
    void SetWindowedSending(bool on) { m_windowed = on; }
    // Streams until the receiver asks for data again, then bounds the data not yet
    // acknowledged (see SendWindow), so that the next error costs less than a full line
    // buffer; streaming takes over again after clean stretches.
    void SetAdaptiveWindow(bool on) { m_adaptiveWindow = on; }
    void SetRequestResume(bool on) { m_requestResume = on; }
    void SetRetryLimit(int limit) { m_retryLimit = limit; }
    int RetryLimit() const { return m_retryLimit; }

    // ---- Receiver ----
    // The name buffer holds names of up to 519 characters; longer ones are cut.
    static constexpr int kNameBufferSize = 520;

    // Takes the name, size and date of the offer just read; nothing is shown of it yet.
    void TakeOffer();
    // Stamps and closes a file that arrived whole and counts it; false when closing failed.
    bool CloseReceivedFile();
    // What the folder holds under the offered name, and what an earlier call filed under it.
    void LookUpLocalFile();
    // The name the file information subpacket offers, cut to the name buffer and made safe
    // to open in the receive folder.
    std::string OfferedName() const;
    const char* NameBuffer() const { return m_names.get(); }

  protected:
    // Runs the sender state machine over the link until it finishes, fails or is stopped.
    void RunSender();
    // Does what the sender asked, in order; false when a write failed.
    bool CarryOutActions(const std::vector<ZmodemSender::Action>& actions,
                         const ZmodemSender& machine);
    // Runs the receiver state machine over the link until it finishes, fails or is stopped.
    void RunReceiver();
    // Does what the machine asked, in order; false when a write failed.
    bool CarryOutActions(const std::vector<ZmodemReceiver::Action>& actions,
                         zmodem::FrameReader& reader);
    // Size and date from the file information; false when the size field is missing.
    bool ParseFileInformation();

    // The data bytes of the offer's header.
    unsigned char m_receivedHeader[4]{};

    bool m_stripPaths{true};
    bool m_windowed{true};
    bool m_adaptiveWindow{false};
    bool m_requestResume{false};
    int m_retryLimit{10};
    // Whether a header wait that found nothing counts as an error (see ReceiverOptions).
    bool m_silenceCounts{true};
    // Silent periods the receiver waits through for an offer before "Timed out"; -1 counts
    // each silence as an error instead.
    int m_offerSilenceLimit{-1};
    // How long the receiver waits for its first ZMODEM frame of all before "Timed out"
    // (a caller who never starts a sender); -1 for no bound but the error counts.
    long m_firstFrameLimitMs{-1};
    std::unique_ptr<char[]> m_names;
    // The name the current offer would be stored under.
    std::string m_offerName;

  private:
    class ReceiveFiles;
    class SendFiles;
    // The longest a driver waits before it checks for a stop again.
    static constexpr zmodem::TimeMs kDriverPollMs = 250;

    // Keeps a decoded header's data bytes as the received header.
    void TakeHeader(const zmodem::Header& header);

    zmodem::FrameEncoder m_encoder;
};

} // namespace protocol
