// The scripted peer's frame layer over the loopback link: headers in all three forms,
// escaping, subpacket CRCs and lengths, cancels, garbage, silence and the retry limit, so
// that the peers the tests script behave on the line as they say.
#include "tests/protocol/ScriptedPeer.h"

#include <cctype>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/protocol/ScriptedPeer.h"

using prototest::kNoHeaderForm;
using prototest::OnHeaderError;
using prototest::ScriptedPeer;
using namespace protocol;
using namespace protocol::zmodem;
using namespace comm;
using prototest::LinkPair;
using prototest::RecordingStatus;

namespace {

struct ZmodemFrames : testing::Test {
    ZmodemFrames()
        : near(wire.nearSerial.get(), &nearStatus), far(wire.farSerial.get(), &farStatus) {}

    // What the far end has sent towards the near end, taken off the line.
    std::string TakeNearInput() {
        std::string bytes;
        unsigned char buffer[4096];
        int n;
        while ((n = wire.nearLink->ReadBuffer(buffer, sizeof buffer)) > 0)
            bytes.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
        return bytes;
    }
    void FeedFar(const std::string& bytes) {
        wire.nearLink->WriteBuffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   static_cast<int>(bytes.size()));
    }
    // A header sent by the far end, as bytes on the line.
    std::string FarHexHeader(int type, const unsigned char header[4]) {
        far.SendHexHeader(type, header);
        return TakeNearInput();
    }
    void FillNearData(int length) {
        for (int i = 0; i < length; ++i)
            near.DataBuffer()[i] = static_cast<unsigned char>(i * 37 + 11);
    }

    LinkPair wire;
    RecordingStatus nearStatus, farStatus;
    ScriptedPeer near, far;
    const unsigned char zero[4]{};
    const unsigned char awkward[4]{0x0D, 0x18, 0x91, 0xFF};
};

} // namespace

TEST_F(ZmodemFrames, HeadersRoundTripInAllThreeForms) {
    for (int form : {kZhex, kZbin, kZbin32}) {
        far.SetReceiverCapabilities(form == kZbin32 ? kCanFcs32 : 0, 0);
        for (int type : {kZrqinit, kZrpos, kZdata, kZfin, kLastFrameType}) {
            if (form == kZhex)
                far.SendHexHeader(type, awkward);
            else
                far.SendBinaryHeader(type, awkward);
            ASSERT_EQ(near.ReadFrameHeader(OnHeaderError::Return), type) << form << " " << type;
            EXPECT_EQ(near.HeaderForm(), form);
            EXPECT_EQ(0, std::memcmp(near.ReceivedHeader(), awkward, 4));
        }
        if (form != kZhex) {
            EXPECT_EQ(nearStatus.checkType, form == kZbin32 ? kCheckCrc32 : kCheckCrc16);
        }
    }
    EXPECT_EQ(nearStatus.errors, 0);
    far.SendHexHeader(kLastFrameType + 1, zero); // a type no ZMODEM frame has
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kGeneralTransferError);
}

TEST_F(ZmodemFrames, PositionsAreLittleEndian) {
    unsigned char header[4];
    ScriptedPeer::PositionToHeader(0x12345678, header);
    EXPECT_EQ(header[0], 0x78);
    EXPECT_EQ(header[3], 0x12);
    EXPECT_EQ(ScriptedPeer::PositionFromHeader(header), 0x12345678);
}

TEST_F(ZmodemFrames, HexHeaderOnTheWireAndUpperCaseDigitsRejected) {
    const unsigned char position[4]{0xAB, 0xCD, 0xEF, 0x0A};
    std::string line = FarHexHeader(kZrpos, position);
    ASSERT_EQ(line.substr(0, 4), "**\x18"
                                 "B");
    EXPECT_EQ(line.substr(4, 10), "09abcdef0a");
    std::string upper = line;
    for (std::size_t i = 4; i < 18; ++i)
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    wire.FeedNear(upper);
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kGeneralTransferError);
    wire.FeedNear(line);
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kZrpos);
    EXPECT_TRUE(near.HexHeaderTerminated());
    EXPECT_EQ(ScriptedPeer::PositionFromHeader(near.ReceivedHeader()), 0x0AEFCDAB);
}

TEST_F(ZmodemFrames, XonFollowsHexHeadersExceptZackAndZfin) {
    for (int type = 0; type <= kLastFrameType; ++type) {
        near.SendHexHeader(type, zero);
        std::string line = wire.TakeFarInput();
        bool quiet = type == kZack || type == kZfin;
        EXPECT_EQ(line.size(), quiet ? 20u : 21u) << type;
        EXPECT_EQ(line.substr(18, 2), "\r\n");
        if (!quiet) {
            EXPECT_EQ(line.back(), '\x11') << type;
        }
    }
}

// Control bytes are always escaped; a carriage return only after an '@' (with or without the
// parity bit), so that no "@ CR" reaches the line.
TEST_F(ZmodemFrames, ControlBytesAreEscapedAndCarriageReturnAfterAnAt) {
    unsigned char* data = near.DataBuffer();
    for (int i = 0; i < 256; ++i)
        data[i] = static_cast<unsigned char>(i);
    const unsigned char tail[] = {'@', 0x0D, 0xC0, 0x8D, '@', 0x8D, 0x0D};
    std::memcpy(data + 256, tail, sizeof tail);
    const int length = 256 + static_cast<int>(sizeof tail);
    near.SetReceiverCapabilities(kCanFcs32, 0);
    ASSERT_GE(near.SendDataSubpacket(length, kZcrcg), 0);
    std::string line = wire.TakeFarInput();
    std::string expected;
    for (int i = 0; i < length; ++i) {
        unsigned char b = data[i];
        bool escape = b == 0x10 || b == 0x11 || b == 0x13 || b == 0x18 || b == 0x90 || b == 0x91 ||
                      b == 0x93 || ((b & 0x7F) == 0x0D && i > 0 && (data[i - 1] & 0x7F) == '@');
        if (escape) {
            expected += '\x18';
            expected += static_cast<char>(b ^ 0x40);
        } else {
            expected += static_cast<char>(b);
        }
    }
    ASSERT_GE(line.size(), expected.size() + 2);
    EXPECT_EQ(line.substr(0, expected.size()), expected);
    EXPECT_EQ(line.substr(expected.size(), 2), "\x18i");
    EXPECT_EQ(line.substr(expected.size() - 3, 3), "\x18\xCD\x0D") << "the escaped CR is no '@'";
}

TEST_F(ZmodemFrames, SubpacketsRoundTripWithBothCrcs) {
    for (int flags : {0, kCanFcs32}) {
        near.SetReceiverCapabilities(flags, 0);
        FillNearData(1024);
        unsigned char position[4];
        ScriptedPeer::PositionToHeader(4096, position);
        near.SendBinaryHeader(kZdata, position);
        near.SendDataSubpacket(1024, kZcrcg);
        near.SendDataSubpacket(0, kZcrcw);
        EXPECT_EQ(nearStatus.checkType, flags ? kCheckCrc32 : kCheckCrc16);
        ASSERT_EQ(far.ReadFrameHeader(OnHeaderError::Return), kZdata);
        ASSERT_EQ(far.ReadDataSubpacket(), kZcrcg);
        EXPECT_EQ(farStatus.blockLength, 1024);
        EXPECT_EQ(0, std::memcmp(far.DataBuffer(), near.DataBuffer(), 1024));
        ASSERT_EQ(far.ReadDataSubpacket(), kZcrcw);
        EXPECT_EQ(farStatus.blockLength, 0);
        EXPECT_EQ(far.ReadTimed(0), kXon); // after ZCRCW
        EXPECT_FALSE(far.InputWaiting());
    }
    EXPECT_TRUE(farStatus.Traced("ReadCrc32:  good CRC-32"));
}

TEST_F(ZmodemFrames, DamagedSubpacketsFailTheirCrc) {
    for (int flags : {0, kCanFcs32}) {
        for (std::size_t damage : {std::size_t{20}, std::size_t{0}}) {
            near.SetReceiverCapabilities(flags, 0);
            for (int i = 0; i < 100; ++i)
                near.DataBuffer()[i] = static_cast<unsigned char>('a' + i % 26);
            near.SendBinaryHeader(kZdata, zero);
            std::string header = wire.TakeFarInput();
            near.SendDataSubpacket(100, kZcrcq);
            std::string subpacket = wire.TakeFarInput();
            // 0 means: damage the last CRC byte instead of the data.
            std::size_t at = damage ? damage : subpacket.size() - 1;
            subpacket[at] = static_cast<char>(subpacket[at] ^ 0x01);
            FeedFar(header + subpacket);
            ASSERT_EQ(far.ReadFrameHeader(OnHeaderError::Return), kZdata);
            EXPECT_EQ(far.ReadDataSubpacket(), kGeneralTransferError) << flags << " " << at;
        }
    }
    EXPECT_TRUE(farStatus.Traced("ReadCrc32: bad CRC-32"));
}

TEST_F(ZmodemFrames, SubpacketsOfUpTo8KiBAreTakenLongerOnesRefused) {
    near.SetReceiverCapabilities(0, 0);
    near.SendBinaryHeader(kZdata, zero);
    FeedFar(wire.TakeFarInput());
    ASSERT_EQ(far.ReadFrameHeader(OnHeaderError::Return), kZdata);
    // Bodies with a correct CRC-16: only the length decides.
    auto subpacket = [](std::size_t length) {
        std::string body(length, 'z');
        Crc16 crc;
        std::uint16_t c = static_cast<std::uint16_t>(crc.Update(
            reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(length), 0));
        c = Crc16::UpdateByte(c, kZcrcg);
        const unsigned char check[2] = {static_cast<unsigned char>(c >> 8),
                                        static_cast<unsigned char>(c & 0xFF)};
        unsigned char escaped[4];
        int n = zmodem::FrameEncoder{}.Escape(check, 2, escaped);
        return body + "\x18i" + std::string(reinterpret_cast<char*>(escaped), n);
    };
    FeedFar(subpacket(1025));
    EXPECT_EQ(far.ReadDataSubpacket(), kZcrcg);
    EXPECT_EQ(farStatus.blockLength, 1025);
    FeedFar(subpacket(8192));
    EXPECT_EQ(far.ReadDataSubpacket(), kZcrcg);
    EXPECT_EQ(farStatus.blockLength, 8192);
    FeedFar(subpacket(8193));
    EXPECT_EQ(far.ReadDataSubpacket(), kBufferFull);
    EXPECT_LE(farStatus.blockLength, 8192);
}

TEST_F(ZmodemFrames, RawFlowControlInsideSubpacketsAndHeadersIsDropped) {
    near.SetReceiverCapabilities(kCanFcs32, 0);
    for (int i = 0; i < 256; ++i)
        near.DataBuffer()[i] = static_cast<unsigned char>(i);
    near.SendBinaryHeader(kZdata, zero);
    near.SendDataSubpacket(256, kZcrcw);
    // A modem or terminal puts raw XON/XOFF (with and without parity) anywhere in the stream.
    std::string sent = wire.TakeFarInput(), noisy;
    const char flow[] = {'\x11', '\x13', '\x91', '\x93'};
    for (std::size_t i = 0; i < sent.size(); ++i) {
        noisy += sent[i];
        if (i % 7 == 3)
            noisy += flow[i % 4];
    }
    FeedFar(noisy);
    ASSERT_EQ(far.ReadFrameHeader(OnHeaderError::Return), kZdata);
    ASSERT_EQ(far.ReadDataSubpacket(), kZcrcw);
    ASSERT_EQ(farStatus.blockLength, 256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(far.DataBuffer()[i], i);
}

TEST_F(ZmodemFrames, FourCansAreNoiseFiveAreACancel) {
    platform::ScopedTimeAcceleration fast(50.0);
    std::string header = FarHexHeader(kZrinit, zero);
    wire.FeedNear(std::string(4, '\x18') + "x" + header);
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kZrinit);
    EXPECT_EQ(nearStatus.statusCode, 0);

    wire.FeedNear(std::string(5, '\x18') + header);
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kRemoteCancelled);
    EXPECT_EQ(nearStatus.statusCode, kRemoteCancelled);
    EXPECT_TRUE(nearStatus.Traced("GetPad: Remote end sent 5-CAN"));
    EXPECT_EQ(wire.TakeFarInput(), ""); // a cancelled peer gets no cancel back
}

TEST_F(ZmodemFrames, FiveCansInsideABinaryHeaderCancel) {
    platform::ScopedTimeAcceleration fast(50.0);
    far.SetReceiverCapabilities(kCanFcs32, 0);
    far.SendBinaryHeader(kZdata, awkward);
    const std::string header = TakeNearInput();
    wire.FeedNear(header.substr(0, 5) + std::string(5, '\x18'));
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kRemoteCancelled);
    EXPECT_EQ(nearStatus.statusCode, kRemoteCancelled);
}

TEST_F(ZmodemFrames, TenSilentSecondsEndTheWaitForAHeader) {
    platform::ScopedTimeAcceleration fast(100.0);
    std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kGeneralTransferError);
    EXPECT_GE(platform::TicksSince(start), 10000u);
    EXPECT_LT(platform::TicksSince(start), 12500u);
    EXPECT_EQ(near.HeaderForm(), kNoHeaderForm);
    EXPECT_TRUE(nearStatus.Traced("GetPad: timeout on ZPAD"));
    EXPECT_TRUE(nearStatus.Traced("ReadFrameHeader: Header Type <-802>"));
    EXPECT_TRUE(nearStatus.Traced("ReadFrameHeader: Frame type -931"));
    EXPECT_EQ(nearStatus.errors, 1);
    EXPECT_EQ(nearStatus.retries, 1);
}

TEST_F(ZmodemFrames, AHeaderAfterNineSilentSecondsIsStillFound) {
    platform::ScopedTimeAcceleration fast(10.0); // margin for a busy machine
    std::string header = FarHexHeader(kZrinit, zero);
    std::thread late([&] {
        platform::Sleep(9200);
        wire.FeedNear(header);
    });
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kZrinit);
    late.join();
    EXPECT_FALSE(nearStatus.Traced("GetPad: timeout on ZPAD"));
}

TEST_F(ZmodemFrames, EndlessGarbageIsCutOff) {
    wire.FeedNear(std::string(3000, 'g'));
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Return), kGeneralTransferError);
    EXPECT_TRUE(nearStatus.Traced("GetPad: Exceeded garbage count"));
    EXPECT_EQ(nearStatus.CountOf("GetPad: incoming garbage"), 4);
}

TEST_F(ZmodemFrames, DamagedHeadersStopAtTheRetryLimit) {
    std::string header = FarHexHeader(kZrinit, zero);
    header[6] = header[6] == '0' ? '1' : '0';
    for (int i = 0; i < 12; ++i)
        wire.FeedNear(header);
    EXPECT_EQ(near.ReadFrameHeader(OnHeaderError::Retry), kTooManyErrors);
    EXPECT_EQ(nearStatus.statusCode, kTooManyErrors);
    EXPECT_EQ(nearStatus.errors, 10);
    EXPECT_EQ(nearStatus.CountOf("ReadHexFrameHeaderData: bad CRC-16"), 10);
}

// Per-byte reading must not call into the link for every byte.
TEST_F(ZmodemFrames, BufferedInputCostsNoLinkCallPerByte) {
    prototest::CountingLink counting(wire.nearLink.get());
    GFSerial serial(&counting);
    ScriptedPeer reader(&serial, &nearStatus);
    far.SetReceiverCapabilities(kCanFcs32, 0);
    for (int i = 0; i < 1024; ++i)
        far.DataBuffer()[i] = static_cast<unsigned char>(i);
    far.SendBinaryHeader(kZdata, zero);
    far.SendDataSubpacket(1024, kZcrcg);
    far.SendDataSubpacket(1024, kZcrcw);
    ASSERT_EQ(reader.ReadFrameHeader(OnHeaderError::Return), kZdata);
    ASSERT_EQ(reader.ReadDataSubpacket(), kZcrcg);
    ASSERT_EQ(reader.ReadDataSubpacket(), kZcrcw);
    EXPECT_LE(counting.bufferReads, 5);
    EXPECT_EQ(counting.charReads, 0);
    EXPECT_EQ(counting.queueQueries, 0);
}
