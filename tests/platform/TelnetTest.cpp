// The telnet codec on its own: negotiation, IAC escaping, CR NUL, commands split anywhere,
// and peers that misbehave.
#include "platform/Telnet.h"
#include "tests/platform/TelnetBytes.h"

#include <string>

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::telnet;

namespace {

struct Received {
    std::string data;
    std::string replies;
};

Received Feed(TelnetCodec& codec, const std::string& in) {
    ByteQueue data;
    Received r;
    codec.Receive(reinterpret_cast<const unsigned char*>(in.data()), in.size(), data, r.replies);
    r.data.assign(reinterpret_cast<const char*>(data.Front()), data.Size());
    return r;
}

std::string Encode(const TelnetCodec& codec, const std::string& in) {
    ByteQueue out;
    codec.Encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(), out);
    return {reinterpret_cast<const char*>(out.Front()), out.Size()};
}

// Lets two codecs answer each other until both are quiet; false if they never settle.
bool Negotiate(TelnetCodec& client, TelnetCodec& server) {
    std::string toServer = client.Opening();
    std::string toClient = server.Opening();
    for (int round = 0; round < 10; ++round) {
        if (toServer.empty() && toClient.empty())
            return true;
        Received atServer = Feed(server, toServer);
        Received atClient = Feed(client, toClient);
        EXPECT_TRUE(atServer.data.empty() && atClient.data.empty());
        toServer = atClient.replies;
        toClient = atServer.replies;
    }
    return false;
}

std::string EveryByte() {
    std::string all;
    for (int round = 0; round < 2; ++round)
        for (int v = 0; v < 256; ++v)
            all += static_cast<char>(v);
    return all + "\r"; // and a CR at the very end
}

} // namespace

TEST(Telnet, ClientAcceptsBinaryEchoAndTerminalTypeAndRefusesTheRest) {
    TelnetCodec client(TelnetCodec::Role::Client);
    EXPECT_EQ(client.Opening(), Bytes({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kDo,
                                       kSuppressGoAhead}));
    // What a telnet server typically sends first, and its answers to our requests.
    const std::string server =
        Bytes({kIac, kWill, 37, kIac, kDo, kTerminalType, kIac, kDo, 31, kIac, kDo, kBinary,
               kIac, kWill, kBinary, kIac, kWill, kSuppressGoAhead, kIac, kWill, kEcho, kIac,
               kSb, kTerminalType, 1, kIac, kSe});
    Received r = Feed(client, server);
    EXPECT_EQ(r.data, "");
    EXPECT_EQ(r.replies, Bytes({kIac, kDont, 37, kIac, kWill, kTerminalType, kIac, kWont, 31,
                                kIac, kDo, kEcho}) +
                             Bytes({kIac, kSb, kTerminalType, 0}) + kTerminalName +
                             Bytes({kIac, kSe}));
    EXPECT_TRUE(client.SendsBinary());
    EXPECT_TRUE(client.ReceivesBinary());
    EXPECT_TRUE(client.RemoteEchoes());
    // Requests for a state that already holds are not answered (no negotiation loops).
    EXPECT_EQ(Feed(client, Bytes({kIac, kWill, kEcho, kIac, kDo, kBinary})).replies, "");
}

TEST(Telnet, ServerOffersTheSameAndBothSidesSettleOnBinary) {
    TelnetCodec server(TelnetCodec::Role::Server);
    TelnetCodec client(TelnetCodec::Role::Client);
    ASSERT_TRUE(Negotiate(client, server));
    for (const TelnetCodec* codec : {&client, &server}) {
        EXPECT_TRUE(codec->SendsBinary());
        EXPECT_TRUE(codec->ReceivesBinary());
    }
    EXPECT_FALSE(client.RemoteEchoes()); // the modem has nothing to echo
    // A server does not give a terminal type, nor does it echo.
    EXPECT_EQ(Feed(server, Bytes({kIac, kDo, kTerminalType, kIac, kDo, kEcho})).replies,
              Bytes({kIac, kWont, kTerminalType, kIac, kWont, kEcho}));
}

TEST(Telnet, ServerThatWithdrawsBinaryIsFollowedAndAskedOnceMore) {
    TelnetCodec client(TelnetCodec::Role::Client);
    TelnetCodec server(TelnetCodec::Role::Server);
    ASSERT_TRUE(Negotiate(client, server));
    Received r = Feed(client, Bytes({kIac, kWont, kBinary}));
    EXPECT_EQ(r.replies, Bytes({kIac, kDont, kBinary, kIac, kDo, kBinary}));
    EXPECT_FALSE(client.ReceivesBinary());
    EXPECT_TRUE(client.SendsBinary()); // our direction stays binary
    // Text-mode output from now on: CR NUL is CR, CR LF stays, IAC IAC is 0xFF.
    r = Feed(client, std::string("a\r\0b\r\nc\xff\xff" "d\r", 11));
    EXPECT_EQ(r.data, "a\rb\r\nc\xff" "d\r");
    EXPECT_EQ(Feed(client, std::string("\0e", 2)).data, "e"); // the NUL came in the next read
    // Refused again: no third request.
    EXPECT_EQ(Feed(client, Bytes({kIac, kWont, kBinary})).replies, "");
    // Granted later: binary again, and a NUL after CR is data.
    EXPECT_EQ(Feed(client, Bytes({kIac, kWill, kBinary})).replies, Bytes({kIac, kDo, kBinary}));
    EXPECT_TRUE(client.ReceivesBinary());
    EXPECT_EQ(Feed(client, std::string("\r\0", 2)).data, std::string("\r\0", 2));
}

TEST(Telnet, EveryByteValueCrossesInBothModes) {
    const std::string all = EveryByte();
    // Text mode both ways (nothing negotiated): 0xFF doubled, CR followed by NUL.
    TelnetCodec textSender(TelnetCodec::Role::Client);
    TelnetCodec textReceiver(TelnetCodec::Role::Server);
    const std::string text = Encode(textSender, all);
    EXPECT_EQ(text.size(), all.size() + 2 + 3); // two 0xFF, three CR
    EXPECT_EQ(text.substr(text.size() - 2), std::string("\r\0", 2));
    EXPECT_EQ(Feed(textReceiver, text).data, all);
    // Binary both ways, client to server and back.
    TelnetCodec client(TelnetCodec::Role::Client);
    TelnetCodec server(TelnetCodec::Role::Server);
    ASSERT_TRUE(Negotiate(client, server));
    const std::string binary = Encode(client, all);
    EXPECT_EQ(binary.size(), all.size() + 2);
    Received atServer = Feed(server, binary);
    EXPECT_EQ(atServer.data, all);
    EXPECT_EQ(atServer.replies, "");
    EXPECT_EQ(Feed(client, Encode(server, all)).data, all);
}

TEST(Telnet, CommandsSplitAtEveryByteGiveTheSameResult) {
    const std::string stream =
        std::string("ab\r\0c", 5) + Bytes({kIac, kWill, kEcho, kIac, 241 /* NOP */, kIac,
                                           kSb, kTerminalType, 1, kIac, kIac, kIac, kSe}) +
        Bytes({kIac, kIac, kIac, kDo, kTerminalType, kIac, 242 /* DM */, kIac, kSb, 0x9D, 'V',
               'M', kIac, kSe, kIac, kWill, kBinary}) +
        std::string("\r\0x\xff\xffz", 6);
    TelnetCodec whole(TelnetCodec::Role::Client);
    const Received expected = Feed(whole, stream);
    EXPECT_EQ(expected.data, std::string("ab\rc\xff") + std::string("\r\0x\xffz", 5));
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        TelnetCodec codec(TelnetCodec::Role::Client);
        Received first = Feed(codec, stream.substr(0, cut));
        Received second = Feed(codec, stream.substr(cut));
        EXPECT_EQ(first.data + second.data, expected.data);
        EXPECT_EQ(first.replies + second.replies, expected.replies);
    }
    TelnetCodec bytewise(TelnetCodec::Role::Client);
    Received one;
    for (char c : stream) {
        Received r = Feed(bytewise, std::string(1, c));
        one.data += r.data;
        one.replies += r.replies;
    }
    EXPECT_EQ(one.data, expected.data);
    EXPECT_EQ(one.replies, expected.replies);
}

TEST(Telnet, HostilePeersNeitherLeakCommandsNorGrowWithoutBound) {
    TelnetCodec codec(TelnetCodec::Role::Client);
    // A flood of negotiation: one answer per refused request at most, no data.
    std::string flood;
    for (int i = 0; i < 20000; ++i)
        flood += Bytes({kIac, kWill, 40 + i % 50});
    Received r = Feed(codec, flood);
    EXPECT_EQ(r.data, "");
    EXPECT_LE(r.replies.size(), flood.size());
    // A subnegotiation that never ends swallows what follows, however long, and the stream
    // recovers at its end.
    std::string sub = Bytes({kIac, kSb, kTerminalType}) + std::string(1 << 20, 'x');
    r = Feed(codec, sub);
    EXPECT_EQ(r.data, "");
    EXPECT_EQ(r.replies, "");
    EXPECT_EQ(Feed(codec, Bytes({kIac, kSe}) + "ok").data, "ok");
    // A lone IAC at the end of the connection is not data.
    EXPECT_EQ(Feed(codec, Bytes({kIac})).data, "");
}
