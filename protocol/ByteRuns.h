// Copying runs of bytes that need no look of their own: the codec's per-byte paths (escaping
// for the wire, undoing it on arrival) copy everything up to the next byte that needs one, and
// find that byte sixteen at a time where the processor has SSE2.
#pragma once

#include <array>

#include "protocol/ZmodemCodec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace protocol::zmodem {

// A set of byte values: a table for the byte-by-byte path, and where SSE2 is there, a test of
// sixteen bytes at once that marks the same values.
struct EscapedBytes {
    // Carriage return, DLE, XON, XOFF and ZDLE; all but ZDLE with the parity bit too (the
    // carriage returns that need no escape are the caller's to tell).
#if defined(__SSE2__)
    static __m128i Marks(__m128i v) {
        const __m128i low = _mm_and_si128(v, _mm_set1_epi8(0x7F));
        __m128i m = _mm_cmpeq_epi8(low, _mm_set1_epi8(0x0D));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(low, _mm_set1_epi8(0x10)));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(low, _mm_set1_epi8(0x11)));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(low, _mm_set1_epi8(0x13)));
        return _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x18)));
    }
#endif
    static constexpr const std::array<bool, 256>& kTable = kEscaped;
};

// Where a run of plain bytes in a subpacket ends: a ZDLE, or XON or XOFF with or without the
// parity bit.
struct PlainRunStops {
#if defined(__SSE2__)
    static __m128i Marks(__m128i v) {
        const __m128i low = _mm_and_si128(v, _mm_set1_epi8(0x7F));
        __m128i m = _mm_cmpeq_epi8(low, _mm_set1_epi8(0x11));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(low, _mm_set1_epi8(0x13)));
        return _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x18)));
    }
#endif
    static constexpr std::array<bool, 256> kTable = [] {
        std::array<bool, 256> table{};
        for (int b : {kXon, kXoff, kXon | 0x80, kXoff | 0x80, kZdle})
            table[b] = true;
        return table;
    }();
};

// Copies the bytes of `in` before the first one `Set` marks to `out` and returns how many.
// Whatever it writes lies within out[0, length): sixteen bytes go out before they are tested,
// and bytes past the run are written over by the caller.
template <class Set> int CopyRun(const unsigned char* in, int length, unsigned char* out) {
    int i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= length; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
        const int marks = _mm_movemask_epi8(Set::Marks(v));
        if (marks != 0)
            return i + __builtin_ctz(static_cast<unsigned>(marks));
    }
#endif
    for (; i < length && !Set::kTable[in[i]]; ++i)
        out[i] = in[i];
    return i;
}

} // namespace protocol::zmodem
