// MacBinary I and II files from Macintosh senders: header check, the file-type to extension
// table, and the conversion of a received file into a plain file holding its data fork.
#pragma once

#include "data/FileRecord.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace data {

inline constexpr std::size_t kMacBinaryHeaderSize = 128;

struct MacBinaryInfo {
    std::string fileName; // as stored: at most 63 bytes of the Macintosh character set
    std::string fileType; // four characters (fewer when the type holds a NUL)
    std::string creator;
    std::uint32_t dataForkLength{0};
    std::uint32_t resourceForkLength{0};
    std::uint16_t secondaryHeaderLength{0}; // MacBinary II only
};

// True when `header` is a MacBinary II header (right CRC and version 129) or passes the
// MacBinary I rule (its II-only bytes all zero), and its name is 1 to 63 bytes without
// control characters; fills `info` then.
bool ParseMacBinaryHeader(std::span<const std::uint8_t, kMacBinaryHeaderSize> header,
                          MacBinaryInfo& info);

// True when a file of `fileSize` bytes is what the header describes: the header, then the
// secondary header, data fork and resource fork, each padded to a multiple of 128 bytes (the
// last one possibly unpadded). Many ordinary files pass the header check by chance (any file
// starting with 128 zero bytes but for a name); their sizes almost never agree as well.
bool MacBinaryAccountsForSize(const MacBinaryInfo& info, std::uint64_t fileSize);

// CRC-16/XMODEM, as the MacBinary II header carries it.
std::uint16_t MacBinaryCrc(std::span<const std::uint8_t> bytes);

struct MacTypeExtension {
    const char* key; // "creator:type" or "*:type", four characters each, case and blanks count
    const char* extension;
};

extern const std::array<MacTypeExtension, 70> kMacTypeExtensions;

// The extension for a type and creator: the first "creator:type" row, else the first
// "*:type" row; none when either is not exactly four characters or no row matches.
std::optional<std::string_view> LookupMacExtension(std::string_view type, std::string_view creator);

// Results of ConvertMacBinary.
inline constexpr int kMacConverted = 0;
// Also shorter than a header, a size the header does not account for, or an application.
inline constexpr int kMacNotMacBinary = 1;
inline constexpr int kMacOpenFailed = 2;
inline constexpr int kMacReadFailed = 3;
inline constexpr int kMacDeleteFailed = 4;
inline constexpr int kMacCreateFailed = 5;
inline constexpr int kMacWriteFailed = 6;
inline constexpr int kMacMoveFailed = 7;

// The string the caller shows for a result (%1 the received path where the text has one),
// or 0 for results without a message.
int MacBinaryMessageId(int result);

// Converts a received MacBinary file into a plain file of its data fork, named from the
// Macintosh name and the type's extension in the received file's folder (numbered with #2,
// #3... when taken). TEXT files get CR LF line ends. With `deleteReceived` the MacBinary file
// is removed afterwards; the received file is never lost on a failure. `newPath` names the new
// file for kMacConverted (and for kMacDeleteFailed, where both files remain).
int ConvertMacBinary(const std::string& receivedPath, bool deleteReceived, std::string& newPath);

// The pass after a receive job: with `macBinarySetting` not kMacBinaryOff, converts every
// completed record's file in list order (deleting the MacBinary file for
// kMacBinaryConvertDelete), gives converted records their new path and shows the message of
// every failure (50215 to 50220) before going on with the next file.
void ConvertReceivedMacBinaryFiles(std::vector<FileRecord>& records,
                                   std::uint32_t macBinarySetting);

// Turns CR, LF and CR LF line ends into CR LF. `out` must hold 2 * in.size() bytes. A CR that
// ended the previous chunk (`pendingCr`) makes an LF starting this chunk part of that line end.
std::size_t ConvertTextLineEnds(std::span<const std::uint8_t> in, std::uint8_t* out,
                                bool& pendingCr);

// The name of the converted file in `folder`: the Macintosh name after its last ":", in UTF-8,
// made a safe file name, without a trailing copy of the extension, then the extension.
std::string MakeMacFileName(const std::string& folder, std::string_view macName,
                            std::string_view extension);

} // namespace data
