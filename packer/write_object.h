// The object command's output: the payload array and its section head in an x86-64 COFF
// object.
#pragma once

#include "packer/plan.h"

void write_object(const PackPlan& plan);
