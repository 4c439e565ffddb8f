// The chosen extraction folder made when it is missing (extract/place.h): users write
// templates such as "{CACHE_DIR}\MyCompany\MyTool", whose last levels do not exist yet.
#pragma once

// Parent role, for a folder chosen with --extract-to or ZOBRIN_ONEFILE_EXTRACT_TO (absolute,
// as place_expand leaves it; never the default temporary directory): creates every missing
// level, top down, each owner-only as the payload directory (extract/payload_directory.h).
// A level that exists as a directory (or a link to one) is used as it is. Fatal: a level that
// cannot be created, a file in its place included (the creation error, naming that level).
void place_create_folder(const wchar_t* folder);
