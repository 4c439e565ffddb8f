// The launcher's mark on a directory it creates to extract into: the payload directory and the
// cached mode's sibling (and so the copy it becomes). The sweep removes only directories that
// carry it, so a user's directory that merely has such a name is never taken for a leftover.
#pragma once

#include <windows.h>

// Decision: the system attribute, set right after the directory is created. Attributes exist
// on every file system the launcher may extract to (NTFS, FAT, exFAT, a share) and cost one
// call; a user's directory does not have it unless someone set it on purpose. Wine keeps the
// hidden and system attributes (in an extended attribute) but no security descriptor (it maps
// one to Unix mode bits) and no alternate stream (it writes a file named "dir:stream" beside
// the directory), so this mark behaves under Wine as on Windows. Hidden would hide the
// directory in Explorer; system alone does not (`dir` and PowerShell list it with /a, -Force).
constexpr DWORD ZB_PAYLOAD_MARK = FILE_ATTRIBUTE_SYSTEM;
