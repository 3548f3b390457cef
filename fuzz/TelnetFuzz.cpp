// Feeds arbitrary bytes from the network to the telnet decoder, in pieces the input itself
// chooses, as client and as server. Checks that commands never grow the data, that answers
// stay bounded by what was asked, and that whatever arrived crosses back intact when it is
// encoded and decoded again in the mode both sides ended in.
#include "platform/Telnet.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using platform::ByteQueue;
using platform::TelnetCodec;

namespace {

void Check(TelnetCodec::Role role, const std::uint8_t* data, std::size_t size) {
    TelnetCodec codec(role);
    std::string replies = codec.Opening();
    ByteQueue received;
    // The first byte picks the piece length, so splits fall everywhere across inputs.
    const std::size_t piece = size > 0 ? 1 + data[0] % 17 : 1;
    for (std::size_t at = 0; at < size; at += piece) {
        std::size_t n = size - at < piece ? size - at : piece;
        codec.Receive(data + at, n, received, replies);
    }
    if (received.Size() > size)
        std::abort();
    // Every answer is one command of three bytes for three bytes asked, or one terminal type
    // for a subnegotiation of at least six bytes.
    if (replies.size() > 64 + 2 * size)
        std::abort();
    // What the codec sends, a peer in the same modes reads back unchanged.
    ByteQueue encoded;
    codec.Encode(received.Front(), received.Size(), encoded);
    TelnetCodec peer(role == TelnetCodec::Role::Client ? TelnetCodec::Role::Server
                                                       : TelnetCodec::Role::Client);
    if (codec.SendsBinary()) {
        // Bring the peer to binary reception the way a real one would get there.
        const unsigned char will[] = {platform::telnet::kIac, platform::telnet::kWill,
                                      platform::telnet::kBinary};
        ByteQueue none;
        std::string ignored;
        peer.Receive(will, sizeof will, none, ignored);
    }
    ByteQueue back;
    std::string ignored;
    peer.Receive(encoded.Front(), encoded.Size(), back, ignored);
    if (back.Size() != received.Size() ||
        (back.Size() > 0 && std::memcmp(back.Front(), received.Front(), back.Size()) != 0))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Check(TelnetCodec::Role::Client, data, size);
    Check(TelnetCodec::Role::Server, data, size);
    return 0;
}
