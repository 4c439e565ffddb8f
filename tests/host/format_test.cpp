// The format layer the launcher and the packer share: the table's cursor and the section's
// tail, on hand-made bytes (each row one way a table or a tail can end).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format/little_endian.h"
#include "format/payload_format.h"
#include "format/payload_table.h"
#include "format/section_tail.h"

namespace {

// Appends an entry: flags, size, the name and (with a second) the second string, each
// NUL-terminated unless `terminated` is false.
void entry(std::string* table, uint32_t flags, const std::u16string& name,
           const std::u16string& second = u"", bool terminated = true) {
  unsigned char fixed[ZB_ENTRY_FIXED_BYTES];
  le_write_u32(fixed, flags);
  le_write_u64(fixed + 4, 7);
  table->append(reinterpret_cast<const char*>(fixed), sizeof fixed);
  for (const std::u16string* text : {&name, &second}) {
    if (text == &second && !(flags & ZB_ENTRY_FLAG_SECOND_STRING)) break;
    for (char16_t unit : *text) table->append({char(unit & 0xFF), char(unit >> 8)});
    if (terminated) table->append(2, '\0');
  }
}

TEST(PayloadTable, TheCursorEndsAtTheTableOrAtItsFirstBadEntry) {
  const std::u16string longest(ZB_NAME_MAX_UNITS, u'n');
  struct Row {
    const char* what;
    std::string table;
    std::vector<TableStep> steps;  // what each table_next returns, in order
  };
  std::vector<Row> rows;
  auto add = [&](const char* what, std::vector<TableStep> steps, auto&& build) {
    Row row{what, "", steps};
    build(&row.table);
    rows.push_back(row);
  };
  add("empty", {TABLE_END}, [](std::string*) {});
  add("two entries", {TABLE_ENTRY, TABLE_ENTRY, TABLE_END}, [](std::string* t) {
    entry(t, 0, u"a");
    entry(t, ZB_ENTRY_FLAG_LAST, u"b\\c");
  });
  add("a second string", {TABLE_ENTRY, TABLE_END},
      [](std::string* t) { entry(t, ZB_ENTRY_FLAG_SECOND_STRING, u"a", u"target"); });
  add("the longest name", {TABLE_ENTRY, TABLE_END},
      [&](std::string* t) { entry(t, 0, longest); });
  add("a name one unit longer", {TABLE_BAD_ENTRY},
      [&](std::string* t) { entry(t, 0, longest + u"n"); });
  add("an empty name", {TABLE_BAD_ENTRY}, [](std::string* t) { entry(t, 0, u""); });
  add("an unterminated name", {TABLE_BAD_ENTRY},
      [](std::string* t) { entry(t, 0, u"abc", u"", /* terminated */ false); });
  add("unknown flags", {TABLE_BAD_ENTRY},
      [](std::string* t) { entry(t, ZB_ENTRY_FLAGS_MAX + 1, u"a"); });
  add("an empty second string", {TABLE_BAD_SECOND},
      [](std::string* t) { entry(t, ZB_ENTRY_FLAG_SECOND_STRING, u"a", u""); });
  add("a partial entry after one", {TABLE_ENTRY, TABLE_PARTIAL}, [](std::string* t) {
    entry(t, 0, u"a");
    t->append(ZB_ENTRY_FIXED_BYTES - 1, '\0');
  });
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PayloadTable table = {reinterpret_cast<const unsigned char*>(row.table.data()),
                          row.table.size()};
    TableCursor cursor = table_cursor(table);
    for (TableStep expected : row.steps) {
      uint64_t before = cursor.position;
      PayloadEntry found;
      TableStep step = table_next(&cursor, &found);
      EXPECT_EQ(step, expected);
      // Anything but an entry leaves the cursor where it was.
      if (step != TABLE_ENTRY) {
        EXPECT_EQ(cursor.position, before);
      }
    }
    EXPECT_EQ(table_at_end(&cursor), row.steps.back() == TABLE_END);
  }
}

TEST(SectionTail, DigestsAndSettingsAreFoundWithinTheSectionOnly) {
  // Two file digests, then a settings block with one Cwd record of 2 bytes.
  std::string tail(8 + 2 * 8 + 8 + 16, '\0');
  auto at = [&](size_t offset) { return reinterpret_cast<unsigned char*>(&tail[offset]); };
  le_write_u64(at(0), 2);
  le_write_u64(at(24), 16);
  le_write_u32(at(32), ZB_SETTING_CWD);
  le_write_u32(at(36), 2);
  const uint64_t both = ZB_RUN_FLAG_CACHE | ZB_RUN_FLAG_SETTINGS;
  struct Row {
    const char* what;
    uint64_t flags;
    uint64_t room;
    uint32_t kind;  // a record written over the Cwd one (0: none)
    SectionTailResult result;
    uint64_t bytes;
  } rows[] = {
      {"no flags, no tail", 0, 0, 0, SECTION_TAIL_OK, 0},
      {"digests and settings", both, tail.size(), 0, SECTION_TAIL_OK, tail.size()},
      {"digests alone", ZB_RUN_FLAG_CACHE, 24, 0, SECTION_TAIL_OK, 24},
      {"no room for the count", ZB_RUN_FLAG_CACHE, 7, 0, SECTION_TAIL_DIGESTS_PAST, 0},
      {"a digest past the section", ZB_RUN_FLAG_CACHE, 23, 0, SECTION_TAIL_DIGESTS_PAST, 0},
      {"settings past the section", both, tail.size() - 1, 0, SECTION_TAIL_SETTINGS_PAST, 0},
      {"an unknown kind", both, tail.size(), ZB_SETTING_KINDS + 1,
       SECTION_TAIL_SETTINGS_MALFORMED, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string bytes = tail;
    if (row.kind != 0) le_write_u32(reinterpret_cast<unsigned char*>(&bytes[32]), row.kind);
    SectionTail parsed;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    ASSERT_EQ(section_tail_parse(data, row.room, row.flags, &parsed), row.result);
    if (row.result != SECTION_TAIL_OK) continue;
    EXPECT_EQ(parsed.bytes, row.bytes);
    EXPECT_EQ(parsed.digest_count, row.flags & ZB_RUN_FLAG_CACHE ? 2u : 0u);
    uint32_t length = 0;
    const unsigned char* cwd = section_tail_setting(&parsed, ZB_SETTING_CWD, &length);
    EXPECT_EQ(cwd, row.flags & ZB_RUN_FLAG_SETTINGS ? data + 40 : nullptr);
    EXPECT_EQ(length, row.flags & ZB_RUN_FLAG_SETTINGS ? 2u : 0u);
  }
}

}  // namespace
