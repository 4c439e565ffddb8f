// Where the payload is extracted: the parent folder of the payload directory (and of the
// cached mode's copies). By default the temporary directory; an executable packed with
// `zobrin-pack exe --extract-to TEMPLATE` names another, and the variable
// ZOBRIN_ONEFILE_EXTRACT_TO overrides either at run time (an administrator's choice of a
// folder their rules allow to run programs from).
#pragma once

#include <stdint.h>

#include "base/limits.h"
#include "payload/payload_image.h"

// The variable that overrides the packed choice; set to the empty text it counts as unset.
#define ENV_EXTRACT_TO L"ZOBRIN_ONEFILE_EXTRACT_TO"
// The folder the parent resolved, for its child: the one that holds the payload directory
// (the cached mode's copies and siblings). Always set by the parent, whatever was inherited.
#define ENV_PAYLOAD_FOLDER L"ZOBRIN_ONEFILE_PAYLOAD_FOLDER"

// Where the chosen template came from.
enum PlaceSource { PLACE_DEFAULT, PLACE_PACKED, PLACE_VARIABLE };

struct Place {
  PlaceSource source;
  // The template ("{TEMP}" by default), then the folder it expands to (absolute).
  wchar_t path_template[ZB_PATH_UNITS];
  wchar_t folder[ZB_PATH_UNITS];
};

// Both roles (the child chooses the same from the inherited environment): the template, from
// the variable, else the setting packed in `image`, else "{TEMP}" (PLACE_DEFAULT). Expands nothing.
// Fatal: header error for a damaged setting. Abort: a text that does not fit.
void place_choose(Place* place, const PayloadImage* image);

// Expands the chosen template into place->folder, without final backslashes. The template
// may hold what `zobrin-pack exe --extract-to` takes and nothing else: at most
// ZB_EXTRACT_TO_MAX_UNITS units, the variables {TEMP}, {CACHE_DIR}, {HOME} and {EXE_DIR}
// (none that follows argument 0, which the parent and the child see differently), every "{"
// closed, no "}" alone, no character Windows refuses in a path. Fatal: a template that breaks
// these rules or cannot be expanded (the expand error, naming it followed by `named_suffix`,
// the rest of the directory's template); a folder that is not an absolute path ("X:\..." or
// "\\server\...") is one line naming it and where it came from, exit code 2. Abort: a text
// that does not fit.
void place_expand(Place* place, const wchar_t* named_suffix);

// Parent role: hands `folder` over to the child in ENV_PAYLOAD_FOLDER (replacing whatever was
// inherited).
void place_hand_over(const wchar_t* folder);

// Child role: the folder the parent resolved (ENV_PAYLOAD_FOLDER) into place->folder, in
// place of expanding the template again; false when the variable is unset (an application
// that removed it and started the executable again: the child then expands as the parent
// did). Abort: a value that does not fit.
bool place_take_handed_over(Place* place);

// True when the system's `error` says a policy forbids running or loading a program (software
// restriction or application control rules), as opposed to a missing or damaged file.
bool place_blocked_by_policy(unsigned long error);
