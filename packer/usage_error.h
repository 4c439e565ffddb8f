// A command line that does not say what to do: thrown by the command line and the plan, printed
// once by main as "zobrin-pack: error: <message>" followed by the command's help (exit 2).
#pragma once

#include <stdexcept>

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
