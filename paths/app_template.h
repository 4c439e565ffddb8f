// Application templates: the texts of an executable's fixed arguments, variables and working
// folder (`zobrin-pack exe --arg`, `--env`, `--env-prepend`, `--cwd`).
#pragma once

#include <stdint.h>

// Expands the `units` units at `text` (no NUL needed) into `output` (capacity `capacity`
// units, NUL included; at least 1). {APP_DIR} is `app_dir`; {EXE_DIR}, {TEMP}, {CACHE_DIR}
// and {HOME} are what template_expand gives for them; names in any case. "{{" and "}}" are
// one brace each; every other unit stands for itself. The output is NUL-terminated after
// every step. Returns false, the text written so far staying, for another name, a "{" without
// its "}", a "}" alone, a value that cannot be read, or a result that does not fit.
bool app_template_expand(wchar_t* output, uint32_t capacity, const wchar_t* text,
                         uint32_t units, const wchar_t* app_dir);
