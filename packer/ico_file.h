// Windows icon files (.ico): their images as the icon resources an executable carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/pe_resources.h"

// The resources for the icon file `file`: one RT_ICON per image (numbered from 1, the
// image's bytes as the file holds them) and one RT_GROUP_ICON numbered 1 that lists them, all
// in `language`. Throws PackError("<subject> <reason>") for a file that is not an icon file,
// holds no image, or whose images lie outside it or are neither PNG nor bitmap.
std::vector<Resource> ico_resources(const std::vector<unsigned char>& file, const std::string& subject,
                                    uint32_t language);
