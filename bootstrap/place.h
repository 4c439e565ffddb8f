// Where the payload is extracted: the parent folder of the payload directory (and of the
// cached mode's copies). By default the temporary directory; an executable packed with
// `zobrin-pack exe --extract-to TEMPLATE` names another, and the variable
// ZOBRIN_ONEFILE_EXTRACT_TO overrides either at run time (an administrator's choice of a
// folder their rules allow to run programs from).
#pragma once

#include <stdint.h>

#include "base/limits.h"

// The variable that overrides the packed choice; set to the empty text it counts as unset.
#define ENV_EXTRACT_TO L"ZOBRIN_ONEFILE_EXTRACT_TO"

// Where the chosen template came from.
enum PlaceSource { PLACE_DEFAULT, PLACE_PACKED, PLACE_VARIABLE };

struct Place {
  PlaceSource source;
  // The template ("{TEMP}" by default), then the folder it expands to (absolute).
  wchar_t path_template[ZB_PATH_UNITS];
  wchar_t folder[ZB_PATH_UNITS];
};

// Both roles (the child chooses the same from the inherited environment): the template, from
// the variable, else the packed setting, else "{TEMP}" (PLACE_DEFAULT). Expands nothing.
// Fatal: header error for a damaged setting. Abort: a text that does not fit.
void place_choose(Place* place);

// Expands the chosen template into place->folder, without final backslashes. Fatal: a
// template that cannot be expanded (the expand error, naming it followed by `named_suffix`,
// the rest of the directory's template); a folder that is not an absolute path ("X:\..." or
// "\\server\...") is one line naming it and where it came from, exit code 2. Abort: a text
// that does not fit.
void place_expand(Place* place, const wchar_t* named_suffix);

// True when the system's `error` says a policy forbids running or loading a program (software
// restriction or application control rules), as opposed to a missing or damaged file.
bool place_blocked_by_policy(unsigned long error);
