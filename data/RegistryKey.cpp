// The settings' view of the registry: numbers and texts under one key.
#include "data/RegistryKey.h"

#include <vector>

namespace data {

using namespace platform;

LONG CRegistryKey::OpenKey(HKEY root, const std::string& subKey) {
    CloseKey();
    return RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
}

void CRegistryKey::CloseKey() {
    if (m_key)
        RegCloseKey(m_key);
    m_key = nullptr;
}

LONG CRegistryKey::QueryNumber(const std::string& name, std::uint32_t& number) const {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG r = RegQueryValueExA(m_key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                              &size);
    if (r != ERROR_SUCCESS)
        return r;
    // A text or a short binary read as a number would give a nonsense setting.
    if (type != REG_DWORD || size != sizeof value)
        return ERROR_FILE_NOT_FOUND;
    number = value;
    return ERROR_SUCCESS;
}

LONG CRegistryKey::SetNumber(const std::string& name, std::uint32_t number) const {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    return RegSetValueExA(m_key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof number);
}

LONG CRegistryKey::QueryText(const std::string& name, std::string& text,
                             std::size_t capacity) const {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    DWORD type = 0;
    DWORD size = 0;
    LONG r = RegQueryValueExA(m_key, name.c_str(), nullptr, &type, nullptr, &size);
    if (r != ERROR_SUCCESS)
        return r;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_FILE_NOT_FOUND;
    std::vector<BYTE> buffer(size);
    r = RegQueryValueExA(m_key, name.c_str(), nullptr, &type, buffer.data(), &size);
    if (r != ERROR_SUCCESS)
        return r;
    std::string value(buffer.begin(), buffer.begin() + size);
    value.resize(value.find('\0') == std::string::npos ? value.size() : value.find('\0'));
    text = CutToBytes(std::move(value), capacity > 0 ? capacity - 1 : 0);
    return ERROR_SUCCESS;
}

LONG CRegistryKey::SetText(const std::string& name, const std::string& text) const {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    return RegSetValueExA(m_key, name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

} // namespace data
