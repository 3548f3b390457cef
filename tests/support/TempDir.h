// A temporary folder for one test, removed with everything in it at the end. It also points
// XDG_CONFIG_HOME, XDG_DATA_HOME and SENDARI_HOME inside itself so no test touches the
// user's real settings.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

    // Writes `content` to the file `name` inside the folder (creating parent folders).
    std::string WriteFile(const std::string& name, const std::string& content) const;
    static std::string ReadFile(const std::filesystem::path& path);

private:
    std::filesystem::path m_path;
};

} // namespace testsupport
