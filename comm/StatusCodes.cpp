// Status code texts come from the numbered string table.
#include "comm/StatusCodes.h"

#include "platform/ResourceStrings.h"

namespace comm {

std::string_view StatusText(int code) {
    return platform::LoadResourceString(StatusTextId(code));
}

} // namespace comm
