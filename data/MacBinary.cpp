// MacBinary header parsing, the type table and the conversion of received files.
#include "data/MacBinary.h"

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/UserMessages.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace data {
namespace {

// Header layout.
constexpr std::size_t kOldVersion = 0;
constexpr std::size_t kNameLength = 1;
constexpr std::size_t kName = 2;
constexpr std::size_t kMaxNameLength = 63;
constexpr std::size_t kType = 65;
constexpr std::size_t kCreator = 69;
constexpr std::size_t kZeroFill74 = 74;
constexpr std::size_t kZeroFill82 = 82;
constexpr std::size_t kDataForkLength = 83;
constexpr std::size_t kResourceForkLength = 87;
constexpr std::size_t kSecondaryHeaderLength = 120;
constexpr std::size_t kVersion2Bytes = 101; // to 125, zero in MacBinary I
constexpr std::size_t kMinimumVersion = 123;
constexpr std::size_t kHeaderCrc = 124;
constexpr std::size_t kCrcCovered = 124;
constexpr std::uint8_t kMacBinary2 = 129;

constexpr std::size_t kChunkSize = 10000;

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[i] = crc;
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

// The Macintosh character set's upper half as Unicode code points.
constexpr std::array<std::uint16_t, 128> kMacRoman = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
    0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
    0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
    0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

std::string MacRomanToUtf8(std::string_view text) {
    std::string out;
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
            continue;
        }
        std::uint16_t u = kMacRoman[b - 0x80];
        if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
    return out;
}

std::string CString(const std::uint8_t* bytes, std::size_t length) {
    std::string text(reinterpret_cast<const char*>(bytes), length);
    return text.substr(0, text.find('\0'));
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

// Reads up to `size` bytes, fewer only at the end of the file; -1 on an error.
ssize_t ReadFully(int fd, std::uint8_t* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool WriteFully(int fd, const std::uint8_t* buffer, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The temporary file that receives the data fork; removed unless it was moved into place.
class TempFile {
  public:
    explicit TempFile(const std::string& folder) : m_path{folder + "/.tmpXXXXXX"} {
        if (m_path.size() < MaxPathLength())
            m_fd = ::mkostemp(m_path.data(), O_CLOEXEC);
    }
    ~TempFile() {
        Close();
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int Descriptor() const { return m_fd; }
    const std::string& Path() const { return m_path; }
    bool Close() {
        bool ok = true;
        if (m_fd >= 0)
            ok = ::close(m_fd) == 0;
        m_fd = -1;
        return ok;
    }
    void Keep() { m_kept = true; }

  private:
    std::string m_path;
    int m_fd{-1};
    bool m_kept{false};
};

// Copies the data fork that follows the header, chunk by chunk.
int CopyDataFork(int in, int out, const MacBinaryInfo& info) {
    const bool text = info.fileType == "TEXT";
    std::vector<std::uint8_t> chunk(kChunkSize);
    std::vector<std::uint8_t> converted(text ? 2 * kChunkSize : 0);
    bool pendingCr = false;
    std::uint32_t remaining = info.dataForkLength;
    while (remaining > 0) {
        std::size_t want = std::min<std::size_t>(remaining, kChunkSize);
        if (ReadFully(in, chunk.data(), want) != static_cast<ssize_t>(want))
            return kMacReadFailed;
        remaining -= static_cast<std::uint32_t>(want);
        const std::uint8_t* data = chunk.data();
        std::size_t size = want;
        if (text) {
            size = ConvertTextLineEnds({chunk.data(), want}, converted.data(), pendingCr);
            data = converted.data();
        }
        if (!WriteFully(out, data, size))
            return kMacWriteFailed;
    }
    return ::fsync(out) == 0 ? kMacConverted : kMacWriteFailed;
}

} // namespace

// clang-format off
constexpr std::array<MacTypeExtension, 70> kMacTypeExtensions = { {
    { "*:TEXT", ".txt" }, { "*:APPL", ".exe" }, { "*:DEXE", ".exe" }, { "*:TIF ", ".tif" },
    { "*:EPSF", ".eps" }, { "*:GIFf", ".gif" }, { "*:TIFF", ".tif" }, { "*:JPEG", ".jpg" },
    { "*:PICT", ".pic" }, { "MSWD:WDBN", ".doc" }, { "MSWD:W6BN", ".doc" },
    { "WPC2:WPD1", ".doc" }, { "XCEL:XLC ", ".xlc" }, { "XCEL:XLM ", ".xlm" },
    { "XCEL:XLW ", ".xlw" }, { "XCEL:XLC3", ".xlc" }, { "XCEL:XLS3", ".xls" },
    { "XCEL:XLM3", ".xlm" }, { "XCEL:XLW3", ".xlw" }, { "XCEL:XLA ", ".xla" },
    { "XCEL:sLS ", ".xlt" }, { "XCEL:sLC ", ".xlt" }, { "XCEL:sLM ", ".xlt" },
    { "XCEL:LWKS", ".wk1" }, { "XCEL:LWK3", ".wk3" }, { "XCEL:F+DB", ".dbf" },

    { "XCEL:XLA4", ".xla" }, { "XCEL:XLS5", ".xls" }, { "XCEL:sLS5", ".xlt" },
    { "XCEL:XLB5", ".xlb" }, { "XCEL:XLA5", ".xla" }, { "XCEL:XLW5", ".xlw" },
    { "XCEL:XLS4", ".xls" }, { "MSPJ:MPP ", ".mpp" }, { "MSPJ:MPX ", ".mpx" },
    { "MSPJ:MPC ", ".mpc" }, { "MSPJ:MPV ", ".mpv" }, { "MSPJ:MPW ", ".mpw" },
    { "MSPJ:MPT ", ".mpt" }, { "MSWK:AWWP", ".wps" }, { "MSWK:AWSS", ".wks" },
    { "MSWK:AWDB", ".wdb" }, { "MSWK:RLRB", ".wps" }, { "MSWK:sWWP", ".wps" },
    { "MSWK:sWSS", ".wks" }, { "MSWK:sWRB", ".wps" }, { "ALD2:PUBF", ".pub" },
    { "ALD3:ALB3", ".pm3" }, { "ALD3:ALT3", ".pt3" }, { "ALD4:ALB4", ".pm4" },
    { "ALD5:ALB5", ".pm5" }, { "FOXX:FAPP", ".app" }, { "FOXX:FFXP", ".fxp" },
    { "FOXX:F+PR", ".prg" },

    { "FOXX:F+FR", ".scx" }, { "FOXX:FQPR", ".qpr" }, { "FOXX:F+RP", ".frx" },
    { "FOXX:F+LB", ".lbx" }, { "FOXX:FPJX", ".pjx" }, { "FOXX:FMNX", ".mnx" },
    { "L123:LWKS", ".wk1" }, { "L123:LWK3", ".wk3" }, { "BOBO:CWWP", ".cwk" },
    { "BOBO:DWDB", ".cwk" }, { "BOBO:CWSS", ".cwk" }, { "MORE:TEXT", ".rdy" },
    { "FOX+:F+DB", ".dbf" }, { "SIT!:SIT!", ".sit" }, { "PPT3:SLD3", ".ppt" },
    { "XPR3:XDOC", ".qxd" },
} };
// clang-format on

constexpr bool TableIsFull() {
    for (const MacTypeExtension& row : kMacTypeExtensions)
        if (!row.key || !row.extension)
            return false;
    return true;
}
static_assert(TableIsFull(), "every row of the type table needs a key and an extension");

std::uint16_t MacBinaryCrc(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes)
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

bool ParseMacBinaryHeader(std::span<const std::uint8_t, kMacBinaryHeaderSize> header,
                          MacBinaryInfo& info) {
    const std::size_t nameLength = header[kNameLength];
    if (header[kOldVersion] != 0 || header[kZeroFill74] != 0 || nameLength == 0 ||
        nameLength > kMaxNameLength)
        return false;
    if (std::any_of(header.begin() + kName, header.begin() + kName + nameLength,
                    [](std::uint8_t b) { return b < 0x20 || b == 0x7F; }))
        return false;
    std::uint16_t stored =
        static_cast<std::uint16_t>((header[kHeaderCrc] << 8) | header[kHeaderCrc + 1]);
    bool version2 =
        header[kMinimumVersion] == kMacBinary2 && MacBinaryCrc(header.first(kCrcCovered)) == stored;
    if (!version2) {
        bool version1 = header[kZeroFill82] == 0 &&
                        std::all_of(header.begin() + kVersion2Bytes, header.begin() + 126,
                                    [](std::uint8_t b) { return b == 0; });
        if (!version1)
            return false;
    }
    info.fileName = CString(&header[kName], header[kNameLength]);
    info.fileType = CString(&header[kType], 4);
    info.creator = CString(&header[kCreator], 4);
    info.dataForkLength = BigEndian32(&header[kDataForkLength]);
    info.resourceForkLength = BigEndian32(&header[kResourceForkLength]);
    info.secondaryHeaderLength = static_cast<std::uint16_t>((header[kSecondaryHeaderLength] << 8) |
                                                            header[kSecondaryHeaderLength + 1]);
    return true;
}

bool MacBinaryAccountsForSize(const MacBinaryInfo& info, std::uint64_t fileSize) {
    auto padded = [](std::uint64_t n) { return (n + 127) / 128 * 128; };
    const std::uint64_t before = kMacBinaryHeaderSize + padded(info.secondaryHeaderLength);
    const std::uint64_t full =
        before + padded(info.dataForkLength) + padded(info.resourceForkLength);
    const std::uint64_t shortest =
        info.resourceForkLength > 0 ? before + padded(info.dataForkLength) + info.resourceForkLength
                                    : before + info.dataForkLength;
    return fileSize >= shortest && fileSize <= full;
}

std::optional<std::string_view> LookupMacExtension(std::string_view type,
                                                   std::string_view creator) {
    if (type.size() != 4 || creator.size() != 4)
        return std::nullopt;
    for (const std::string& key :
         {std::string(creator) + ":" + std::string(type), "*:" + std::string(type)})
        for (const MacTypeExtension& row : kMacTypeExtensions)
            if (key == row.key)
                return row.extension;
    return std::nullopt;
}

int MacBinaryMessageId(int result) {
    constexpr int kFirstMessageId = 50215; // for kMacOpenFailed, then one per result
    return result >= kMacOpenFailed && result <= kMacMoveFailed
               ? kFirstMessageId + result - kMacOpenFailed
               : 0;
}

std::size_t ConvertTextLineEnds(std::span<const std::uint8_t> in, std::uint8_t* out,
                                bool& pendingCr) {
    std::size_t n = 0;
    std::size_t i = 0;
    // The previous chunk already wrote this line end for its final CR.
    if (pendingCr && !in.empty() && in[0] == '\n')
        i = 1;
    for (; i < in.size(); ++i) {
        std::uint8_t b = in[i];
        if (b == '\r' || b == '\n') {
            out[n++] = '\r';
            out[n++] = '\n';
            if (b == '\r' && i + 1 < in.size() && in[i + 1] == '\n')
                ++i;
        } else {
            out[n++] = b;
        }
    }
    pendingCr = !in.empty() && in.back() == '\r';
    return n;
}

std::string MakeMacFileName(const std::string& folder, std::string_view macName,
                            std::string_view extension) {
    std::size_t colon = macName.rfind(':');
    if (colon != std::string_view::npos)
        macName.remove_prefix(colon + 1);
    std::string name = SanitizeFileName(MacRomanToUtf8(macName), true);
    if (!extension.empty() && name.size() >= extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
        name.resize(name.size() - extension.size());
    name += extension;
    return folder + "/" + name;
}

int ConvertMacBinary(const std::string& receivedPath, bool deleteReceived, std::string& newPath) {
    QueryHandle received = OpenForQuery(receivedPath);
    if (!received.IsValid())
        return kMacOpenFailed;
    std::array<std::uint8_t, kMacBinaryHeaderSize> header{};
    ssize_t got = ReadFully(received.Descriptor(), header.data(), header.size());
    if (got < 0)
        return kMacReadFailed;
    if (static_cast<std::size_t>(got) < header.size())
        return kMacNotMacBinary;
    MacBinaryInfo info;
    struct stat st {};
    if (::fstat(received.Descriptor(), &st) != 0)
        return kMacReadFailed;
    if (!ParseMacBinaryHeader(header, info) || info.fileType == "APPL" ||
        !MacBinaryAccountsForSize(info, static_cast<std::uint64_t>(st.st_size)))
        return kMacNotMacBinary;
    // The data fork starts after the secondary header.
    if (info.secondaryHeaderLength > 0 &&
        ::lseek(received.Descriptor(),
                static_cast<off_t>(kMacBinaryHeaderSize +
                                   (info.secondaryHeaderLength + 127u) / 128 * 128),
                SEEK_SET) < 0)
        return kMacReadFailed;

    std::string folder = FolderPart(receivedPath);
    if (folder == receivedPath)
        folder = ".";
    TempFile temp(folder);
    if (temp.Descriptor() < 0)
        return kMacCreateFailed;
    (void)::fchmod(temp.Descriptor(), st.st_mode & 0666);
    if (int r = CopyDataFork(received.Descriptor(), temp.Descriptor(), info); r != kMacConverted)
        return r;
    if (!temp.Close())
        return kMacWriteFailed;
    received = QueryHandle{};

    std::string_view extension = LookupMacExtension(info.fileType, info.creator).value_or("");
    std::string wanted = MakeMacFileName(folder, info.fileName, extension);
    // When the received file goes anyway and already has the wanted name, the converted file
    // takes its place in one rename, so no moment exists without one of the two.
    if (deleteReceived && wanted == receivedPath) {
        if (::rename(temp.Path().c_str(), wanted.c_str()) != 0)
            return kMacMoveFailed;
        temp.Keep();
        newPath = wanted;
        return kMacConverted;
    }
    std::string target;
    int error = EEXIST;
    for (int attempt = 0; attempt < 5 && error == EEXIST; ++attempt) {
        target = MakeUniquePath(wanted);
        error = target.empty() ? ENAMETOOLONG : MoveFileNoReplace(temp.Path(), target);
    }
    if (error != 0)
        return kMacMoveFailed;
    temp.Keep();
    newPath = target;
    // The received file is removed only once its data is safe under the new name.
    if (deleteReceived && ::unlink(receivedPath.c_str()) != 0)
        return kMacDeleteFailed;
    return kMacConverted;
}

void ConvertReceivedMacBinaryFiles(std::vector<FileRecord>& records,
                                   std::uint32_t macBinarySetting) {
    if (macBinarySetting == kMacBinaryOff)
        return;
    const bool deleteReceived = macBinarySetting == kMacBinaryConvertDelete;
    for (FileRecord& record : records) {
        if (!record.Completed())
            continue;
        std::string newPath;
        int result = ConvertMacBinary(record.path, deleteReceived, newPath);
        if (result == kMacConverted)
            record.path = newPath;
        else if (int id = MacBinaryMessageId(result))
            ShowMessage(MessageKind::Exclamation, id, record.path);
    }
}

} // namespace data
