#include "platform/CallHandshake.h"

#include <algorithm>

namespace platform::handshake {
namespace {
constexpr unsigned char kPrefix[] = {0xFF, 0xFA, 0x9D, 'V', 'M', '/', '1'};
constexpr unsigned char kEnd[] = {0xFF, 0xF0};
constexpr std::size_t kMaxRateDigits = 9;
} // namespace

std::string Frame(char status, std::uint32_t rate, bool withRate) {
    std::string frame(reinterpret_cast<const char*>(kPrefix), sizeof kPrefix);
    frame += status;
    if (withRate)
        frame += std::to_string(rate);
    frame.append(reinterpret_cast<const char*>(kEnd), sizeof kEnd);
    return frame;
}

Parsed Parse(const unsigned char* data, std::size_t length) {
    Parsed frame;
    std::size_t i = 0;
    for (; i < sizeof kPrefix; ++i) {
        if (i >= length)
            return frame;
        if (data[i] != kPrefix[i]) {
            frame.outcome = Parsed::Invalid;
            return frame;
        }
    }
    if (i >= length)
        return frame;
    frame.status = static_cast<char>(data[i++]);
    std::size_t digits = 0;
    for (; i < length && data[i] >= '0' && data[i] <= '9'; ++i) {
        if (++digits > kMaxRateDigits) {
            frame.outcome = Parsed::Invalid;
            return frame;
        }
        frame.rate = frame.rate * 10 + (data[i] - '0');
    }
    frame.hasRate = digits > 0;
    for (std::size_t k = 0; k < sizeof kEnd; ++k, ++i) {
        if (i >= length)
            return frame;
        if (data[i] != kEnd[k]) {
            frame.outcome = Parsed::Invalid;
            return frame;
        }
    }
    frame.outcome = Parsed::Complete;
    frame.length = i;
    return frame;
}

std::uint32_t AgreedRate(std::uint32_t own, std::uint32_t other) {
    if (own == 0 || other == 0)
        return std::max(own, other);
    return std::min(own, other);
}

} // namespace platform::handshake
