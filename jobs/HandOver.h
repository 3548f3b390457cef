// What a later start of the desktop program hands to the copy already running: the files it
// was given, as absolute paths, in one message; and the running copy's one-byte answer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace jobs {

// The answers: the hand-over was accepted (or there was nothing to hand over), or the
// running copy is busy sending or receiving and the files were not taken.
inline constexpr char kHandOverAccepted = '1';
inline constexpr char kHandOverBusy = '0';

// A message longer than this is refused as a whole; it holds thousands of paths.
inline constexpr std::size_t kMaxHandOverBytes = 1 << 20;

// "SDHO", the length of what follows as four bytes, most significant first, then each path
// followed by a NUL byte. Paths may hold blanks and any byte but NUL.
std::string EncodeHandOver(const std::vector<std::string>& paths);

// The running copy's answer to a complete message.
char HandOverReply(bool busy, const std::vector<std::string>& paths);

// Reads a message as its bytes arrive, in pieces of any size.
class HandOverDecoder {
  public:
    enum class State { kIncomplete, kComplete, kInvalid };

    State Feed(std::string_view bytes);
    State Current() const { return m_state; }
    const std::vector<std::string>& Paths() const { return m_paths; }

  private:
    State Finish();

    std::string m_buffer;
    std::vector<std::string> m_paths;
    State m_state{State::kIncomplete};
};

} // namespace jobs
