// Throughput of the per-byte work of a ZMODEM transfer on a 1 MiB buffer: CRC-32, CRC-16
// and ZDLE escaping, each beside a peer measured in the same run (a bitwise CRC without a
// table, and a plain copy), and the whole subpacket path over the in-memory link.
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "protocol/Checksum.h"
#include "protocol/ZmodemCodec.h"
#include "protocol/ZmodemFrameReader.h"
#include "tests/support/LoopbackLink.h"

namespace {

constexpr int kSize = 1 << 20;

const std::vector<unsigned char>& RandomMiB() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> bytes(kSize);
        std::mt19937 random(42);
        for (auto& b : bytes)
            b = static_cast<unsigned char>(random());
        return bytes;
    }();
    return data;
}

void Crc32Table(benchmark::State& state) {
    const auto& data = RandomMiB();
    protocol::Crc32 crc;
    for (auto _ : state)
        benchmark::DoNotOptimize(crc.Update(data.data(), kSize, protocol::Crc32::kSeed));
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Crc32Table);

void Crc32BitwisePeer(benchmark::State& state) {
    const auto& data = RandomMiB();
    for (auto _ : state) {
        std::uint32_t crc = 0xFFFFFFFF;
        for (unsigned char b : data) {
            crc ^= b;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
        }
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Crc32BitwisePeer);

void Crc16Table(benchmark::State& state) {
    const auto& data = RandomMiB();
    protocol::Crc16 crc;
    for (auto _ : state)
        benchmark::DoNotOptimize(crc.Update(data.data(), kSize, 0));
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Crc16Table);

// Escaping runs subpacket by subpacket, as the sender does.
void Escape(benchmark::State& state) {
    const auto& data = RandomMiB();
    std::vector<unsigned char> out(2 * 1024);
    protocol::zmodem::FrameEncoder encoder;
    for (auto _ : state) {
        int total = 0;
        for (int at = 0; at < kSize; at += 1024)
            total += encoder.Escape(data.data() + at, 1024, out.data());
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(Escape);

// Decoding runs subpacket by subpacket through the frame reader, as the receiver does, on a
// stream encoded once beforehand.
void DecodeSubpackets(benchmark::State& state) {
    using namespace protocol::zmodem;
    const auto& data = RandomMiB();
    FrameEncoder encoder;
    std::vector<unsigned char> wire(2 * kSize + 64 * 1024);
    int length = encoder.BinaryHeader(Header::AtPosition(kZdata, 0), Check::Crc32, wire.data());
    const int start = length;
    for (int at = 0; at < kSize; at += 1024)
        length +=
            encoder.Subpacket(data.data() + at, 1024, kZcrcg, Check::Crc32, wire.data() + length);
    for (auto _ : state) {
        FrameReader reader{8192};
        int taken = 0;
        if (reader.Feed(wire.data(), start, taken, 0).kind != FrameEvent::Kind::Header) {
            state.SkipWithError("no data header");
            return;
        }
        for (int at = start; at < length; at += taken) {
            if (reader.Feed(wire.data() + at, length - at, taken, 0).kind !=
                FrameEvent::Kind::Subpacket) {
                state.SkipWithError("subpacket lost");
                return;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(DecodeSubpackets);

void CopyPeer(benchmark::State& state) {
    const auto& data = RandomMiB();
    std::vector<unsigned char> out(2 * 1024);
    for (auto _ : state) {
        for (int at = 0; at < kSize; at += 1024)
            std::memcpy(out.data(), data.data() + at, 1024);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(CopyPeer);

// The whole frame path of a streamed file over the in-memory link: escaping and CRC-32 by
// the encoder, link writes and reads, and the frame reader on the other end, 1 MiB per
// iteration.
void SubpacketsOverLoopback(benchmark::State& state) {
    using namespace protocol::zmodem;
    const auto& data = RandomMiB();
    auto [sendLink, receiveLink] = testsupport::MakeLoopbackPair();
    FrameEncoder encoder;
    FrameReader reader{8192};
    std::vector<unsigned char> out(2 * 1024 + 16);
    std::vector<unsigned char> in(65536);
    // Feeds what the link holds to the reader; the kind of the last event.
    auto receive = [&] {
        FrameEvent::Kind last = FrameEvent::Kind::None;
        const int got = receiveLink->ReadBuffer(in.data(), static_cast<int>(in.size()));
        for (int at = 0; at < got;) {
            int taken = 0;
            const FrameEvent event = reader.Feed(in.data() + at, got - at, taken, 0);
            at += taken;
            if (event.kind != FrameEvent::Kind::None)
                last = event.kind;
        }
        return last;
    };
    const int n = encoder.BinaryHeader(Header::AtPosition(kZdata, 0), Check::Crc32, out.data());
    sendLink->WriteBuffer(out.data(), n);
    if (receive() != FrameEvent::Kind::Header) {
        state.SkipWithError("no data header");
        return;
    }
    for (auto _ : state) {
        for (int at = 0; at < kSize; at += 1024) {
            const int length =
                encoder.Subpacket(data.data() + at, 1024, kZcrcg, Check::Crc32, out.data());
            sendLink->WriteBuffer(out.data(), length);
            if (receive() != FrameEvent::Kind::Subpacket) {
                state.SkipWithError("subpacket lost");
                return;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(SubpacketsOverLoopback);

} // namespace

BENCHMARK_MAIN();
