// `zobrin-pack extract`: writes a payload's entries out as a tree, checked as verify checks it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "packer/payload_verify.h"

// Checks the payload in `file` (an executable of any mode, or a bare payload array) as
// payload_verify does and writes each entry, as it is decoded, below `dir`, a directory it
// creates (one that exists is refused before anything is read); "\" in names becomes the
// host's separator. At the first fault it throws PackError("<subject>: <the check>"): the
// files written before stay, the one in progress is removed.
VerifyResult payload_extract(const std::vector<unsigned char>& file, const std::string& subject,
                             const std::filesystem::path& dir);
