// The file a portal wrote its picture to, and when it may be removed.
//
// Portals choose where the picture goes: GNOME saves it in the user's Pictures folder as a
// screenshot the user may keep, KDE writes a temporary file, the wlroots backend overwrites one
// fixed out.png in /tmp on every call, readable by every user. So the picture is removed only
// when all of these hold: it lies inside a temporary folder (/tmp, or $TMPDIR), it is a regular
// file of this process's user, and it was last written after the call began (this call made it).
// A file anywhere else, or older than the call, is left exactly where it is.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string>

namespace ovra::portal {

// The local path of a file: URI ("file:///tmp/a%20b.png" → "/tmp/a b.png"), or nothing.
std::optional<std::string> pathOfFileUri(const std::string& uri);

// The time file writes are stamped with (the kernel's coarse clock), taken before a call.
timespec pictureClockNow();

// Removes `path` if the rule above allows it; whether it did.
bool removeIfMadeForCall(const std::string& path, const timespec& callStart);

}  // namespace ovra::portal
