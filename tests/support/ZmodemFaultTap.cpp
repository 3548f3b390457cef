// The frame-following fault tap.
#include "tests/support/ZmodemFaultTap.h"

namespace testsupport {

namespace {
constexpr unsigned char kPad = '*';
constexpr unsigned char kDle = 0x18;
constexpr int kZfileType = 4;
constexpr int kZsinitType = 2;
constexpr int kZdataType = 10;

int HexDigit(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

const char* const kTypeNames[] = {"ZRQINIT", "ZRINIT", "ZSINIT", "ZACK",  "ZFILE",
                                  "ZSKIP",   "ZNAK",   "ZABORT", "ZFIN",  "ZRPOS",
                                  "ZDATA",   "ZEOF",   "ZFERR",  "ZCRC",  "ZCHALLENGE",
                                  "ZCOMPL",  "ZCAN",   "ZFREECNT", "ZCOMMAND", "ZSTDERR"};
} // namespace

std::string FrameKindName(int kind) {
    if (kind >= 0 && kind < 20)
        return kTypeNames[kind];
    switch (kind) {
    case kKindFileInfo:
        return "FileInfo";
    case kKindZcrce:
        return "ZCRCE";
    case kKindZcrcg:
        return "ZCRCG";
    case kKindZcrcq:
        return "ZCRCQ";
    case kKindZcrcw:
        return "ZCRCW";
    case kKindOverAndOut:
        return "OO";
    default:
        return "kind" + std::to_string(kind);
    }
}

void ZmodemFaultTap::Write(const unsigned char* data, int length, std::deque<unsigned char>& out) {
    for (int i = 0; i < length && !m_cut; ++i)
        Take(data[i], out);
}

void ZmodemFaultTap::Purge() {
    m_unit.clear();
    m_state = State::kIdle;
    m_frameType = -1;
}

void ZmodemFaultTap::PassHeld(std::deque<unsigned char>& out) {
    out.insert(out.end(), m_unit.begin(), m_unit.end());
    m_unit.clear();
}

void ZmodemFaultTap::Emit(int kind, std::deque<unsigned char>& out) {
    m_seen.push_back(kind);
    const int index = m_counts[static_cast<std::size_t>(kind)]++;
    for (Target& t : m_targets) {
        if (t.fired || kind != t.kind || index != t.occurrence)
            continue;
        t.fired = true;
        if (t.fault == Fault::kCut)
            m_cut = true;
        if (t.fault == Fault::kDrop || t.fault == Fault::kCut) {
            m_unit.clear();
            return;
        }
        // One changed bit in the middle of the unit, past its pads and ZDLE: a bit that any
        // check of the frame must catch.
        std::size_t at = m_unit.size() / 2;
        if (kind == kKindOverAndOut)
            at = 0;
        m_unit[at] ^= 0x04;
    }
    PassHeld(out);
}

void ZmodemFaultTap::Take(unsigned char b, std::deque<unsigned char>& out) {
    switch (m_state) {
    case State::kIdle:
        if (b == kPad) {
            m_unit.push_back(b);
            m_state = State::kPad;
        } else if (b == 'O' && m_frameType == -2) {
            // After the ZFIN exchange the sender's "OO" is the last thing on the line.
            m_unit.push_back(b);
            Emit(kKindOverAndOut, out);
        } else {
            out.push_back(b);
        }
        return;
    case State::kPad:
        m_unit.push_back(b);
        if (b == kDle)
            m_state = State::kPadDle;
        else if (b != kPad) {
            PassHeld(out);
            m_state = State::kIdle;
        }
        return;
    case State::kPadDle:
        m_unit.push_back(b);
        if (b == 'B') {
            m_state = State::kHex;
        } else if (b == 'A' || b == 'C') {
            m_state = State::kBinary;
            m_crc32 = b == 'C';
            m_needed = 5 + (m_crc32 ? 4 : 2);
            m_decoded = 0;
            m_afterDle = false;
            m_headerType = -1;
        } else {
            PassHeld(out);
            m_state = State::kIdle;
        }
        return;
    case State::kHex: {
        m_unit.push_back(b);
        if ((b & 0x7F) != '\n')
            return;
        // "*", "*", ZDLE, "B", then the type as two hex digits.
        std::size_t at = 0;
        while (at < m_unit.size() && m_unit[at] == kPad)
            ++at;
        int type = -1;
        if (at + 3 < m_unit.size()) {
            int high = HexDigit(m_unit[at + 2]), low = HexDigit(m_unit[at + 3]);
            if (high >= 0 && low >= 0)
                type = high * 16 + low;
        }
        m_state = State::kIdle;
        if (type == 8)
            m_frameType = -2; // ZFIN: the "OO" may follow
        if (type >= 0 && type < 20)
            Emit(type, out);
        else
            PassHeld(out);
        return;
    }
    case State::kBinary:
        m_unit.push_back(b);
        if (!m_afterDle && b == kDle) {
            m_afterDle = true;
            return;
        }
        if (m_decoded == 0)
            m_headerType = m_afterDle ? (b ^ 0x40) : b;
        m_afterDle = false;
        if (++m_decoded < m_needed)
            return;
        if (m_headerType == kZfileType || m_headerType == kZsinitType ||
            m_headerType == kZdataType) {
            m_frameType = m_headerType;
            m_state = State::kSubpacket;
            m_crcLeft = -1;
            m_afterDle = false;
        } else {
            m_state = State::kIdle;
            if (m_headerType == 8)
                m_frameType = -2;
        }
        if (m_headerType >= 0 && m_headerType < 20)
            Emit(m_headerType, out);
        else
            PassHeld(out);
        return;
    case State::kSubpacket:
        m_unit.push_back(b);
        if (m_crcLeft < 0) {
            if (m_afterDle) {
                m_afterDle = false;
                if (b >= 'h' && b <= 'k') {
                    m_endCode = b;
                    m_crcLeft = m_crc32 ? 4 : 2;
                } else if (b == 'A' || b == 'B' || b == 'C') {
                    // A header where a subpacket was expected: the subpacket was cut short
                    // (the writer purged its output). What came before passes as it was.
                    std::vector<unsigned char> header;
                    while (!m_unit.empty() && (m_unit.back() == kPad || m_unit.back() == kDle ||
                                               m_unit.back() == b)) {
                        header.insert(header.begin(), m_unit.back());
                        m_unit.pop_back();
                        if (header.front() == kPad)
                            break;
                    }
                    PassHeld(out);
                    m_state = State::kIdle;
                    for (unsigned char h : header)
                        Take(h, out);
                }
                return;
            }
            if (b == kDle)
                m_afterDle = true;
            return;
        }
        if (!m_afterDle && b == kDle) {
            m_afterDle = true;
            return;
        }
        m_afterDle = false;
        if (--m_crcLeft > 0)
            return;
        {
            int kind = m_frameType == kZdataType ? 200 + m_endCode : kKindFileInfo;
            const bool frameEnds = m_endCode == 'h' || m_endCode == 'k';
            m_state = frameEnds || m_frameType != kZdataType ? State::kIdle : State::kSubpacket;
            m_crcLeft = -1;
            Emit(kind, out);
        }
        return;
    }
}

} // namespace testsupport
