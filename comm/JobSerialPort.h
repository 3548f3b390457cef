// The port a transfer job opens: the library's COM port with the full 32-bit rate kept, so
// rates above 65535 (115200 and up) reach the device.
#pragma once

#include "comm/Win32SerialPort.h"

namespace comm {

class JobSerialPort : public Win32SerialPort {
  public:
    using Win32SerialPort::Win32SerialPort;

    // Parity letter (N, O, E, M, S), then data bits 4-8, then stop bits 1 or 2 are checked in
    // that order; the rate is stored unchanged. Every failure is also the last status.
    int SetLineParams(long baud, char parity, int dataBits, int stopBits) override;
};

} // namespace comm
