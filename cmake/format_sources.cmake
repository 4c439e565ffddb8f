# The format layer (format/): the payload's layout, its table and names and the section's tail,
# without system calls. The lowest layer of the launcher and a part of the packer.
set(ZOBRIN_FORMAT_SOURCES
  format/name_path.cpp format/name_rules.cpp format/payload_table.cpp format/section_tail.cpp)
