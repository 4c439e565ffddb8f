// Fuzz harness of the argument quoting: the input becomes a list of elements, the line built
// from them is split again by the runtime's rules and by the launcher's own splitter, and the
// same elements must come back; the splitter is also run on the raw input as a line.
//
// Input: two bytes choosing the line's capacity, then 16-bit little-endian units; a 0 unit
// ends an element. Element 0 stands for the module path, which never holds a double quote
// or ends in a backslash (the runtime splits element 0 by its own rule, without escapes).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "base/limits.h"
#include "run/command_line.h"

static void require(bool condition) {
  if (!condition) abort();
}

static bool is_blank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// The runtime's splitting of a command line (the documented rules of the C runtime's argument
// parsing, which CommandLineToArgvW shares for everything after element 0):
// - element 0 runs up to the first blank or tab outside quotes; each double quote toggles
//   quoting and is dropped; backslashes are plain characters;
// - later elements are separated by blanks and tabs; 2n backslashes and a quote give n
//   backslashes and toggle quoting, 2n+1 backslashes and a quote give n backslashes and a
//   literal quote, backslashes before anything else are plain; inside quotes, "" is a
//   literal quote and quoting goes on.
static std::vector<std::wstring> split_like_runtime(const wchar_t* p) {
  std::vector<std::wstring> out;
  std::wstring first;
  bool quoted = false;
  for (; *p != L'\0'; p++) {
    if (*p == L'"') {
      quoted = !quoted;
    } else if (!quoted && is_blank(*p)) {
      break;
    } else {
      first += *p;
    }
  }
  out.push_back(first);
  for (;;) {
    while (is_blank(*p)) p++;
    if (*p == L'\0') break;
    std::wstring element;
    quoted = false;
    for (;;) {
      size_t backslashes = 0;
      while (*p == L'\\') {
        backslashes++;
        p++;
      }
      if (*p == L'"') {
        element.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          element += L'"';
          p++;
        } else if (quoted && p[1] == L'"') {
          element += L'"';
          p += 2;
        } else {
          quoted = !quoted;
          p++;
        }
        continue;
      }
      element.append(backslashes, L'\\');
      if (*p == L'\0' || (!quoted && is_blank(*p))) break;
      element += *p++;
    }
    out.push_back(element);
  }
  return out;
}

// The launcher's splitting of `line` into elements of at most `capacity` - 1 units; one that
// does not fit ends the list, with the cursor left where it was.
static std::vector<std::wstring> split_own(const wchar_t* line, uint32_t capacity) {
  std::vector<std::wstring> out;
  wchar_t* element = static_cast<wchar_t*>(malloc((capacity + 1) * sizeof(wchar_t)));
  CommandLineCursor cursor = {0, false};
  for (;;) {
    CommandLineCursor before = cursor;
    CommandLineStep step = command_line_next(line, &cursor, element, capacity);
    if (step == COMMAND_LINE_ELEMENT) {
      require(wcslen(element) < capacity);
      out.push_back(element);
      continue;
    }
    if (step == COMMAND_LINE_TOO_LONG) {
      require(cursor.next == before.next && cursor.past_program == before.past_program);
    }
    break;
  }
  free(element);
  return out;
}

// Each element in a block of exactly its size, as is the line, so a unit read or written past
// either end is caught.
static wchar_t* heap_text(const std::wstring& text) {
  wchar_t* copy = static_cast<wchar_t*>(malloc((text.size() + 1) * sizeof(wchar_t)));
  memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return copy;
}

static void check(const std::vector<std::wstring>& elements, uint32_t capacity) {
  int count = static_cast<int>(elements.size());
  std::vector<wchar_t*> argv;
  for (const auto& element : elements) argv.push_back(heap_text(element));

  // Round trip through a buffer that always fits: at most 2n + 3 units per element.
  size_t room = 1;
  for (const auto& element : elements) room += 2 * element.size() + 3;
  wchar_t* full = static_cast<wchar_t*>(malloc(room * sizeof(wchar_t)));
  require(command_line_build(full, static_cast<uint32_t>(room), argv.data(), count));
  size_t length = wcslen(full);
  require(length < room);
  require(split_like_runtime(full) == elements);
  require(split_own(full, static_cast<uint32_t>(room)) == elements);

  // The chosen capacity: the same line when it fits with its NUL, else false and empty.
  wchar_t* line = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
  bool fits = length + 1 <= capacity;
  require(command_line_build(line, capacity, argv.data(), count) == fits);
  if (fits) {
    require(wcscmp(line, full) == 0);
  } else if (capacity > 0) {
    require(line[0] == L'\0');
  }

  // Appending the last element to the line of the others: all of it or nothing.
  if (count >= 2 && capacity > 0 && command_line_build(line, capacity, argv.data(), count - 1) &&
      wcslen(line) + 2 <= capacity) {
    wcscat(line, L" ");
    std::wstring before = line;
    bool appended = command_line_append(line, capacity, argv[count - 1]);
    require(appended == fits);
    require(wcscmp(line, appended ? full : before.c_str()) == 0);
  }

  free(line);
  free(full);
  for (wchar_t* element : argv) free(element);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t selector = data[0] | (data[1] << 8);
  // Mostly small capacities, where lines stop fitting; sometimes the launcher's own.
  uint32_t capacity = selector & 0x8000 ? ZB_COMMAND_LINE_UNITS : selector % 1024;
  std::wstring raw;
  for (size_t i = 2; i + 1 < size && (data[i] | data[i + 1]) != 0; i += 2) {
    raw += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  }
  wchar_t* raw_line = heap_text(raw);
  split_own(raw_line, capacity);
  free(raw_line);
  std::vector<std::wstring> elements(1);
  for (size_t i = 2; i + 1 < size; i += 2) {
    wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      elements.emplace_back();
    } else {
      elements.back() += unit;
    }
  }
  std::wstring& first = elements[0];
  for (wchar_t& unit : first) {
    if (unit == L'"') unit = L'_';
  }
  while (!first.empty() && first.back() == L'\\') first.pop_back();
  check(elements, capacity);
  return 0;
}
