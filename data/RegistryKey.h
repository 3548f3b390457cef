// One open registry key for the length of one settings load or save.
#pragma once

#include "platform/Registry.h"
#include "platform/ResourceStrings.h"

#include <cstdint>
#include <string>

namespace data {

class CRegistryKey {
  public:
    CRegistryKey() = default;
    ~CRegistryKey() { CloseKey(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Opens `subKey` below `root`, creating it when missing. A failure leaves the object closed,
    // so that every later query fails and every write is dropped.
    platform::LONG OpenKey(platform::HKEY root, const std::string& subKey);
    void CloseKey();
    bool IsOpen() const { return m_key != nullptr; }

    // A REG_DWORD value; any other type counts as missing.
    platform::LONG QueryNumber(const std::string& name, std::uint32_t& number) const;
    platform::LONG SetNumber(const std::string& name, std::uint32_t number) const;

    // A REG_SZ value of at most `capacity` bytes with its NUL. A longer text is cut to fit (at a
    // character boundary) rather than refused; another type counts as missing.
    platform::LONG QueryText(const std::string& name, std::string& text,
                             std::size_t capacity) const;
    platform::LONG SetText(const std::string& name, const std::string& text) const;

  private:
    platform::HKEY m_key{nullptr};
};

using platform::CutToBytes;

} // namespace data
