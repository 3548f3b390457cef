// Where the program keeps its files on this system: configuration, data (phone book, transfer
// log, received files), the user's documents and the registered owner's name.
#pragma once

#include <string>

namespace platform {

// $XDG_CONFIG_HOME/Sendari, or ~/.config/Sendari; holds the registry hives. Not created here.
std::string ConfigDirectory();

// SENDARI_HOME when set (portable use and tests), else $XDG_DATA_HOME/Sendari, else
// ~/.local/share/Sendari. Created on first use; it stands where the original program used the
// folder holding the program file, which is not writable once installed.
std::string DataDirectory();

// DataDirectory() + "/" + "Received Files".
std::string DefaultReceiveFolder();

// The user's full name from the password database (the GECOS field up to its first comma),
// else empty.
std::string RegisteredOwner();

// The XDG documents folder (user-dirs.dirs), else the home folder.
std::string DocumentsFolder();

// $HOME, else the home folder of the password database, else "/".
std::string HomeDirectory();

// A folder for this user's sockets that no other user can enter: $XDG_RUNTIME_DIR when it is a
// folder of ours, else the first of <$TMPDIR or /tmp>/sendari-<uid>, -<uid>-2, ... that is (or can
// be made) a real folder of ours with mode 0700; never a link, never one another user made.
// Empty when there is none.
std::string PrivateRuntimeDirectory();

// Whether `path` is a socket of this user's (not a link): the only kind to hand anything to.
bool IsOwnSocket(const std::string& path);

// `path` with "#number" before a short extension ("notes#2.txt", "archive#2"): how the program
// names another copy of a file whose name is taken.
std::string NumberedPath(const std::string& path, int number);

} // namespace platform
