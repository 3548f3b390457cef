// The communication library's status codes: 0 is success, every failure a negative code.
// The user sees code c as the numbered string 20000 - c.
#pragma once

#include <string_view>

namespace comm {

inline constexpr int kSuccess = 0;

// Link codes.
inline constexpr int kGeneralError = -801;
inline constexpr int kTimedOut = -802;
inline constexpr int kNotSupported = -803;
inline constexpr int kBufferFull = -805;
inline constexpr int kBreakError = -827;
inline constexpr int kPortOpenFailed = -828;
inline constexpr int kPortCloseFailed = -829;
inline constexpr int kBadHandshake = -830;
inline constexpr int kReadOnlyLine = -831;
inline constexpr int kBadArgument = -832;
inline constexpr int kSystemCallFailed = -833;
inline constexpr int kWriteError = -834;
inline constexpr int kReadError = -835;
inline constexpr int kOutOfMemory = -836;
inline constexpr int kAlreadyOpen = -838;
inline constexpr int kBadBaudRate = -839;
inline constexpr int kBadParity = -840;
inline constexpr int kBadStopBits = -841;
inline constexpr int kBadWordLength = -842;
inline constexpr int kDriverNotInstalled = -843;
inline constexpr int kDriverNotSupported = -844;
inline constexpr int kDriverFailure = -845;
inline constexpr int kBoardNotInstalled = -846;
inline constexpr int kUserAbort = -847;
inline constexpr int kNoModemOk = -848;
inline constexpr int kBoardConfigured = -849;
inline constexpr int kNoSerialObject = -850;
inline constexpr int kDosExtenderError = -851;
inline constexpr int kIrqInUse = -852;
inline constexpr int kTooManyIrqs = -853;
inline constexpr int kNonSpecificError = -854;
inline constexpr int kNasiError = -855;
inline constexpr int kNasiSetup = -856;
inline constexpr int kNasiConnect = -857;
inline constexpr int kThunkingFailed = -858;

// Transfer codes.
inline constexpr int kUserCancelled = -901;
inline constexpr int kFileOpenError = -902;
inline constexpr int kFileReadError = -903;
inline constexpr int kFileWriteError = -904;
inline constexpr int kFileCloseError = -905;
inline constexpr int kTransferError = -906;
inline constexpr int kTooManyRetries = -907;
inline constexpr int kTooManyErrors = -908;
inline constexpr int kTimeoutError = -909;
inline constexpr int kReceiveEofError = -910;
inline constexpr int kTransmitEofError = -911;
inline constexpr int kEndOfTransferError = -912;
inline constexpr int kSynchronizationError = -913;
inline constexpr int kRemoteCancelled = -914;
inline constexpr int kInitNotAcknowledged = -915;
inline constexpr int kBlockNaked = -916;
inline constexpr int kPreviousBlock = -917;
inline constexpr int kBlockIntegrity = -918;
inline constexpr int kFileHeaderError = -919;
inline constexpr int kTransferNoMemory = -920;
inline constexpr int kInternalLogicError = -921;
inline constexpr int kCannotSendNak = -922;
inline constexpr int kCannotSendAck = -923;
inline constexpr int kCannotPutChar = -924;
inline constexpr int kCannotPutBuffer = -925;
inline constexpr int kCannotFindFileName = -926;
inline constexpr int kNoFileEngine = -927;
inline constexpr int kProtocolError = -928;
inline constexpr int kCarrierLost = -929;
inline constexpr int kCannotGetChar = -930;
inline constexpr int kGeneralTransferError = -931;
inline constexpr int kNoFilesSent = -932;
inline constexpr int kShouldSendZskip = -933;
inline constexpr int kBPlusSequence = -934;
inline constexpr int kBPlusPacket = -935;

// File-engine codes.
inline constexpr int kEngineNotNull = -950;
inline constexpr int kEngineOpenFailed = -951;
inline constexpr int kEngineCloseFailed = -952;
inline constexpr int kEngineInvalidPointer = -953;
inline constexpr int kEngineSeekFailed = -954;
inline constexpr int kEngineTellFailed = -955;
inline constexpr int kEngineNoMemory = -956;
inline constexpr int kEngineDateError = -957;

// Application code, set by the job drivers only.
inline constexpr int kLostCarrier = -990;

// The string number under which code `code` has its text.
constexpr int StatusTextId(int code) {
    return 20000 - code;
}

// The text of a status code; empty for kCarrierLost and for codes without a text.
std::string_view StatusText(int code);

} // namespace comm
