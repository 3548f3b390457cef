#include "platform/ByteQueue.h"

#include <algorithm>
#include <cstring>

namespace platform {

void ByteQueue::Append(const unsigned char* data, std::size_t length) {
    if (length == 0)
        return;
    if (m_head > 0 && m_head >= m_data.size() / 2) {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    m_data.insert(m_data.end(), data, data + length);
}

void ByteQueue::Append(const std::string& text) {
    Append(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::size_t ByteQueue::Take(unsigned char* buffer, std::size_t length) {
    std::size_t n = std::min(length, Size());
    if (n == 0)
        return 0;
    std::memcpy(buffer, Front(), n);
    Drop(n);
    return n;
}

void ByteQueue::Drop(std::size_t length) {
    m_head += std::min(length, Size());
    if (m_head == m_data.size())
        Clear();
}

void ByteQueue::Clear() {
    m_data.clear();
    m_head = 0;
}

} // namespace platform
