// Temporary folder per test with the configuration and data folders redirected into it.
#include "tests/support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sendari-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    std::filesystem::create_directories(m_path / "config");
    std::filesystem::create_directories(m_path / "data");
    setenv("XDG_CONFIG_HOME", (m_path / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (m_path / "data").c_str(), 1);
    setenv("SENDARI_HOME", (m_path / "data" / "Sendari").c_str(), 1);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::WriteFile(const std::string& name, const std::string& content) const {
    std::filesystem::path p = m_path / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << content;
    return p.string();
}

std::string TempDir::ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace testsupport
