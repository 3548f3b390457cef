// The hand-over message between two starts of the desktop program.
#include "jobs/HandOver.h"

#include <algorithm>
#include <cstdint>

namespace jobs {

namespace {
constexpr std::string_view kMagic = "SDHO";
constexpr std::size_t kHeaderBytes = kMagic.size() + 4;
} // namespace

std::string EncodeHandOver(const std::vector<std::string>& paths) {
    std::string body;
    for (const std::string& path : paths) {
        if (path.empty() || path.find('\0') != std::string::npos)
            continue;
        body += path;
        body += '\0';
    }
    std::string message(kMagic);
    const auto length = static_cast<std::uint32_t>(body.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        message += static_cast<char>((length >> shift) & 0xFF);
    return message + body;
}

char HandOverReply(bool busy, const std::vector<std::string>& paths) {
    // A busy copy refuses only files; a later start with none just raised its window.
    return busy && !paths.empty() ? kHandOverBusy : kHandOverAccepted;
}

HandOverDecoder::State HandOverDecoder::Feed(std::string_view bytes) {
    if (m_state != State::kIncomplete)
        return m_state;
    m_buffer.append(bytes);
    const std::size_t magic = std::min(m_buffer.size(), kMagic.size());
    if (m_buffer.compare(0, magic, kMagic.substr(0, magic)) != 0)
        return m_state = State::kInvalid;
    if (m_buffer.size() < kHeaderBytes)
        return m_state;
    std::uint32_t length = 0;
    for (std::size_t i = kMagic.size(); i < kHeaderBytes; ++i)
        length = (length << 8) | static_cast<unsigned char>(m_buffer[i]);
    if (length > kMaxHandOverBytes || m_buffer.size() > kHeaderBytes + length)
        return m_state = State::kInvalid;
    if (m_buffer.size() < kHeaderBytes + length)
        return m_state;
    return m_state = Finish();
}

HandOverDecoder::State HandOverDecoder::Finish() {
    std::string_view body(m_buffer);
    body.remove_prefix(kHeaderBytes);
    if (!body.empty() && body.back() != '\0')
        return State::kInvalid;
    while (!body.empty()) {
        const std::size_t end = body.find('\0');
        if (end == 0)
            return State::kInvalid;
        m_paths.emplace_back(body.substr(0, end));
        body.remove_prefix(end + 1);
    }
    m_buffer.clear();
    return State::kComplete;
}

} // namespace jobs
