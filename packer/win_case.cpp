#include "packer/win_case.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <locale.h>
#include <wctype.h>
#endif

#include <algorithm>

#include "packer/utf.h"

namespace {

#ifdef _WIN32
// The system's own simple uppercase mapping, locale-independent, one unit at a time.
char16_t win_upper_unit(char16_t unit) {
  if (unit >= u'a' && unit <= u'z') return static_cast<char16_t>(unit - u'a' + u'A');
  if (unit < 0x80 || (unit >= 0xD800 && unit <= 0xDFFF)) return unit;
  wchar_t in = static_cast<wchar_t>(unit);
  wchar_t out = in;
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1, nullptr, nullptr,
                    0) != 1) {
    return unit;
  }
  return static_cast<char16_t>(out);
}
#else
// glibc's C.UTF-8 locale (built in since 2.35) holds Unicode's simple case mappings whatever
// locales the machine has installed. Where it is missing, only ASCII letters are mapped.
locale_t win_case_locale() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

char16_t win_upper_unit(char16_t unit) {
  if (unit >= u'a' && unit <= u'z') return static_cast<char16_t>(unit - u'a' + u'A');
  if (unit < 0x80 || (unit >= 0xD800 && unit <= 0xDFFF)) return unit;
  locale_t locale = win_case_locale();
  if (locale == static_cast<locale_t>(0)) return unit;
  wint_t upper = towupper_l(static_cast<wint_t>(unit), locale);
  return upper <= 0xFFFF && !(upper >= 0xD800 && upper <= 0xDFFF) ? static_cast<char16_t>(upper)
                                                                  : unit;
}
#endif

}  // namespace

std::u16string win_upper(const std::u16string& name) {
  std::u16string upper = name;
  for (char16_t& unit : upper) unit = win_upper_unit(unit);
  return upper;
}

std::string win_upper_utf8(const std::string& name) {
  std::u16string units;
  if (!utf_8_to_16(name, &units)) return name;
  return utf_16_to_8(win_upper(units));
}

std::string ascii_lower(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

namespace {

// Windows cannot create names holding these units.
bool win_name_valid(const std::u16string& component) {
  for (char16_t unit : component) {
    if (unit < 0x20 || unit == u'\\' || unit == u'/' || unit == u':' || unit == u'*' ||
        unit == u'?' || unit == u'"' || unit == u'<' || unit == u'>' || unit == u'|') {
      return false;
    }
  }
  return true;
}

// CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$ and CONOUT$, alone or before an
// extension: Windows opens the device (or the console) instead of a file.
bool win_name_is_device(const std::u16string& component) {
  std::u16string base = component.substr(0, component.find(u'.'));
  for (char16_t& unit : base) {
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  }
  while (!base.empty() && base.back() == u' ') base.pop_back();
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" ||
      base == u"CONIN$" || base == u"CONOUT$") {
    return true;
  }
  return base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
         base[3] >= u'1' && base[3] <= u'9';
}

}  // namespace

std::string win_name_problem(const std::u16string& component) {
  if (!win_name_valid(component)) {
    return "holds a character that Windows file names cannot (one of \\ / : * ? \" < > | or a "
           "control character)";
  }
  if (!component.empty() && (component.back() == u'.' || component.back() == u' ')) {
    return "ends in a dot or a space, which Windows drops from file names";
  }
  if (win_name_is_device(component)) {
    return "is a Windows device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, "
           "CONOUT$, with any extension)";
  }
  return "";
}

int win_name_order(const std::u16string& a, const std::u16string& b) {
  size_t i = 0;
  size_t j = 0;
  for (;;) {
    size_t a_end = std::min(a.find(u'\\', i), a.size());
    size_t b_end = std::min(b.find(u'\\', j), b.size());
    int order = win_upper(a.substr(i, a_end - i)).compare(win_upper(b.substr(j, b_end - j)));
    if (order != 0) return order < 0 ? -1 : 1;
    const bool a_more = a_end < a.size();
    const bool b_more = b_end < b.size();
    if (!a_more || !b_more) return a_more - b_more;
    i = a_end + 1;
    j = b_end + 1;
  }
}

bool win_name_within(const std::u16string& outer, const std::u16string& name) {
  return name.size() > outer.size() && name[outer.size()] == u'\\' &&
         win_upper(name.substr(0, outer.size())) == win_upper(outer);
}
