// The shell service the launcher uses, reached through shell32 loaded at run time.
#pragma once

#include <windows.h>

// SHGetFolderPathW(null, `folder_id`, null, SHGFP_TYPE_CURRENT, `path`); `path` holds
// MAX_PATH units. Loads shell32 from the system directory on the first call. E_FAIL when
// shell32 or the export is missing.
HRESULT shell_folder_path(int folder_id, wchar_t* path);
