// The job's COM port: only the line parameters differ from the library's port.
#include "comm/JobSerialPort.h"

#include <cstdint>

namespace comm {

int JobSerialPort::SetLineParams(long baud, char parity, int dataBits, int stopBits) {
    // A rate the control block cannot hold is refused (after the framing checks, which come
    // first) rather than cut down to some other speed.
    bool representable = baud > 0 && static_cast<unsigned long>(baud) <= UINT32_MAX;
    return ApplyLineParams(representable ? static_cast<platform::DWORD>(baud) : 0, parity, dataBits,
                           stopBits);
}

} // namespace comm
