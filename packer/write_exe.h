// The exe command's output: the launcher (the kit's, or one linked for it) with the payload
// array, its section head, and the headers and resources the plan asks for.
#pragma once

#include "packer/plan.h"

// Checks the kit and that the launcher can take the payload, the settings and the resources
// before anything of the output is written.
void write_exe(const ExePlan& plan);
