// Finding modems on the serial devices of this computer: each device present is asked "AT" at
// a few speeds, and one that answers OK is asked "ATI" for its identification.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace comm {

// Overrides the devices that detection looks at: a list separated by ":" (tests name a
// pseudo-terminal here, never a system serial port).
inline constexpr const char* kDetectDevicesVariable = "SENDARI_DETECT_DEVICES";

struct DetectedModem {
    std::string device;
    std::uint32_t rate{0};
    std::string identification; // the "ATI" lines joined by " / ", or empty
};

// The serial devices present: /dev/ttyUSB*, /dev/ttyACM* and the /dev/ttyS* that have a
// UART behind them, leaving out the system console.
std::vector<std::string> SerialDeviceCandidates();

// The speeds tried, fastest first.
const std::vector<std::uint32_t>& DetectionRates();

// Asks the modem on `device` at each rate until it answers; nothing when it never does, when
// the device cannot be opened or when another program holds it.
std::optional<DetectedModem>
ProbeModem(const std::string& device, const std::vector<std::uint32_t>& rates, int answerTimeoutMs);

} // namespace comm
