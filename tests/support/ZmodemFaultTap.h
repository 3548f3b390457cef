// A tap on one direction of a loopback link that follows the ZMODEM frames written through
// it and damages or drops exactly one chosen frame: the n-th header of a type, the n-th
// data subpacket with a given end code, the file information subpacket, or the closing
// "OO". Everything else passes unchanged, so a test can aim one fault at one place.
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace testsupport {

// What a unit on the line is. Headers carry their frame type (0-19); the others follow.
enum FrameKind : int {
    kKindFileInfo = 100, // the subpacket of a ZFILE (or ZSINIT) header
    kKindZcrce = 200 + 'h',
    kKindZcrcg = 200 + 'i',
    kKindZcrcq = 200 + 'j',
    kKindZcrcw = 200 + 'k',
    kKindOverAndOut = 300, // the "OO" after the last ZFIN
};

std::string FrameKindName(int kind);

// kCut: the line breaks before the unit; it and everything after it are lost.
enum class Fault { kDamage, kDrop, kCut };

class ZmodemFaultTap {
  public:
    // Aims the fault at the occurrence-th unit (counted from 0) of `kind`.
    ZmodemFaultTap(int kind, int occurrence, Fault fault) { Also(kind, occurrence, fault); }
    ZmodemFaultTap() = default;
    // Aims one more fault.
    void Also(int kind, int occurrence, Fault fault) {
        m_targets.push_back({kind, occurrence, fault, false});
    }

    // Takes bytes written by one end; what the other end is to read goes into `out`.
    // A unit is held until it is complete, so that a dropped one vanishes whole.
    void Write(const unsigned char* data, int length, std::deque<unsigned char>& out);
    // The writer purged its output: a unit still held is gone with it.
    void Purge();

    // Whether every aimed fault was applied.
    bool Fired() const {
        for (const Target& t : m_targets)
            if (!t.fired)
                return false;
        return true;
    }
    bool CutOff() const { return m_cut; }
    // How many units of `kind` have gone through so far.
    int CountOf(int kind) const { return m_counts[static_cast<std::size_t>(kind)]; }
    // Every unit seen, in order, by kind (for a test's own checks).
    const std::vector<int>& Seen() const { return m_seen; }

  private:
    enum class State { kIdle, kPad, kPadDle, kHex, kBinary, kSubpacket };

    void Take(unsigned char b, std::deque<unsigned char>& out);
    void Emit(int kind, std::deque<unsigned char>& out);
    void PassHeld(std::deque<unsigned char>& out);

    struct Target {
        int kind;
        int occurrence;
        Fault fault;
        bool fired;
    };
    std::vector<Target> m_targets;
    bool m_cut{false};
    std::vector<int> m_seen;
    std::vector<int> m_counts = std::vector<int>(400, 0);

    State m_state{State::kIdle};
    std::vector<unsigned char> m_unit;
    // Binary header and subpacket decoding.
    bool m_crc32{false};
    bool m_afterDle{false};
    int m_decoded{0};
    int m_needed{0};
    int m_headerType{-1};
    int m_endCode{0};
    int m_crcLeft{-1};
    // The frame a subpacket belongs to: ZFILE/ZSINIT or ZDATA.
    int m_frameType{-1};
};

} // namespace testsupport
