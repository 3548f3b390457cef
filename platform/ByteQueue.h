// A byte queue: appended at the back, taken from the front, contiguous.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

class ByteQueue {
  public:
    void Append(const unsigned char* data, std::size_t length);
    void Append(const std::string& text);
    std::size_t Take(unsigned char* buffer, std::size_t length);
    const unsigned char* Front() const { return m_data.data() + m_head; }
    void Drop(std::size_t length);
    std::size_t Size() const { return m_data.size() - m_head; }
    bool Empty() const { return Size() == 0; }
    void Clear();

  private:
    std::vector<unsigned char> m_data;
    std::size_t m_head{0};
};

} // namespace platform
