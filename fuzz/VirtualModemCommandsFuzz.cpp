// Feeds arbitrary bytes to a virtual modem without a line (so nothing dials out) and checks
// that it stays responsive and keeps its output bounded.
#include "platform/VirtualModem.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::unique_ptr<platform::VirtualModem> modem = [] {
        platform::VirtualModemConfig config;
        config.noLine = true;
        config.listen = false;
        int error = 0;
        return platform::VirtualModem::Open(config, error);
    }();
    if (!modem)
        std::abort();
    modem->Write(data, static_cast<int>(size));
    unsigned char buffer[4096];
    while (modem->Read(buffer, sizeof buffer) > 0) {
    }
    // Back to factory settings for the next input (unless the input moved the terminator S3).
    const unsigned char reset[] = "\rAT&F\r";
    modem->Write(reset, sizeof reset - 1);
    while (modem->Read(buffer, sizeof buffer) > 0) {
    }
    if (modem->InputQueued() != 0)
        std::abort();
    return 0;
}
