// A line a modem can answer with, as the response table of a modem holds it. The table is
// filled from the installed modem's registry entries and grown while a job reads new lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace comm {

// What a modem line means; the values from 100 up are results of waiting that are no line.
enum ResponseCode : int {
    kResponseOk = 0,
    kResponseProtocol = 1,
    kResponseConnect = 2,
    kResponseError = 3,
    kResponseNoCarrier = 4,
    kResponseNoDialtone = 5,
    kResponseBusy = 6,
    kResponseCarrier = 7,
    kResponseRing = 8,
    kResponseTimedOut = 100,
    kResponseAborted = 101,
    kResponseUnrecognised = 102,
};

// One known modem line. The text is the whole line in upper case, so comparisons with a
// received line are made after upper-casing that line too.
struct ModemResponse {
    std::string text;
    std::uint8_t code{kResponseOk};
    std::uint8_t flags{0};
    int dceRate{0}; // bits per second, 0 when the line names none
    int dteRate{0};

    // The line speed the connection runs at: the modem-to-modem rate when the line gives one.
    int ConnectionSpeed() const { return dceRate != 0 ? dceRate : dteRate; }
};

// Ordered; filled from the installed modem's registry responses and grown at run time. Entries
// live on the heap so a pointer handed out stays valid while the table grows.
using ResponseTable = std::vector<std::unique_ptr<ModemResponse>>;

} // namespace comm
