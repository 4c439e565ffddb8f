// The two shell services the launcher uses, reached through shell32 loaded at run time.
#pragma once

#include <windows.h>

// Loads shell32 from the system directory, once; later calls do nothing. True when its two
// services were found. The parent role calls it before its first environment change.
bool shell_load(void);

// CommandLineToArgvW on `line`: the array (never released by the launcher) and its count, or
// null with the last error set when shell32 or the export is missing or the call fails.
wchar_t** shell_command_line_to_argv(const wchar_t* line, int* count);

// SHGetFolderPathW(null, `folder_id`, null, SHGFP_TYPE_CURRENT, `path`); `path` holds
// MAX_PATH units. E_FAIL when shell32 or the export is missing.
HRESULT shell_folder_path(int folder_id, wchar_t* path);
