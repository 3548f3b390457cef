// The message hook of the data layer and its stderr fallback.
#include "data/UserMessages.h"

#include "platform/ResourceStrings.h"

#include <cstdio>
#include <mutex>

namespace data {
namespace {

std::mutex g_hookMutex;
MessageHook g_hook;

void ReplaceFirst(std::string& text, std::string_view marker, const std::string& insert) {
    std::size_t at = text.find(marker);
    if (at != std::string::npos)
        text.replace(at, marker.size(), insert);
}

} // namespace

MessageHook SetMessageHook(MessageHook hook) {
    std::lock_guard guard(g_hookMutex);
    std::swap(g_hook, hook);
    return hook;
}

MessageAnswer ShowMessage(MessageKind kind, int stringId, const std::string& insert1,
                          const std::string& insert2) {
    std::string text(platform::LoadResourceString(stringId));
    // Both markers are found in the string's own text first, so a "%2" inside the first
    // insert (a file name may hold one) stays as it is.
    std::size_t first = text.find("%1");
    std::size_t second = text.find("%2");
    if (first != std::string::npos && second != std::string::npos && second > first) {
        text.replace(second, 2, insert2);
        text.replace(first, 2, insert1);
    } else {
        ReplaceFirst(text, "%2", insert2);
        ReplaceFirst(text, "%1", insert1);
    }
    return ShowMessageText(kind, stringId, text);
}

MessageAnswer ShowMessageText(MessageKind kind, int stringId, const std::string& text) {
    MessageHook hook;
    {
        std::lock_guard guard(g_hookMutex);
        hook = g_hook;
    }
    if (hook)
        return hook(kind, stringId, text);
    std::fprintf(stderr, "Sendari: %s\n", text.c_str());
    if (kind == MessageKind::QuestionNoYes)
        return MessageAnswer::No;
    return kind == MessageKind::QuestionYesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

} // namespace data
