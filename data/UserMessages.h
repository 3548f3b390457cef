// Messages and questions that the data functions put to the user. The user interface installs a
// hook that shows them in message boxes; tests install one that records and answers them.
#pragma once

#include <functional>
#include <string>

namespace data {

enum class MessageKind {
    Exclamation, // a failure; only OK
    QuestionOkCancel,
    QuestionYesNo,
    QuestionNoYes, // Yes or No for something that cannot be undone: No is the default answer
};

enum class MessageAnswer { Ok, Cancel, Yes, No };

// `stringId` is the number of the string, `text` the string with its inserts filled in.
using MessageHook =
    std::function<MessageAnswer(MessageKind kind, int stringId, const std::string& text)>;

// Installs `hook` and returns the previous one. Without a hook messages go to stderr and every
// question is answered OK or Yes.
MessageHook SetMessageHook(MessageHook hook);

// Shows string `stringId` with its "%1" and "%2" replaced by the inserts.
MessageAnswer ShowMessage(MessageKind kind, int stringId, const std::string& insert1 = {},
                          const std::string& insert2 = {});

// Shows a text built from string `stringId` by its caller (a list of names after it).
MessageAnswer ShowMessageText(MessageKind kind, int stringId, const std::string& text);

} // namespace data
