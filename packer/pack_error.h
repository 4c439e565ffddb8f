// The packer's one error: thrown where a check fails, printed once by main as
// "zobrin-pack: error: <message>" (exit 1).
#pragma once

#include <stdexcept>
#include <string>

struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
