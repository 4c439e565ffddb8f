# The packer's modules, for zobrin-pack (host tree) and zobrin-pack.exe (Windows tree); the
# command line and entry, packer/cli.cpp and packer/pack_main.cpp (CLI11), are added by each. The
# format layer (format/) is shared with the launcher.
include(${CMAKE_CURRENT_LIST_DIR}/format_sources.cmake)
set(ZOBRIN_PACKER_SOURCES
  ${ZOBRIN_FORMAT_SOURCES}
  packer/app_tree.cpp
  packer/codec.cpp
  packer/coff_object.cpp
  packer/exe_extras.cpp
  packer/exe_image.cpp
  packer/file_digests.cpp
  packer/file_io.cpp
  packer/host_os.cpp
  packer/ico_file.cpp
  packer/link_exe.cpp
  packer/manifest.cpp
  packer/new_tree.cpp
  packer/payload_extract.cpp
  packer/payload_list.cpp
  packer/payload_read.cpp
  packer/payload_verify.cpp
  packer/payload_writer.cpp
  packer/pe_image.cpp
  packer/pe_resources.cpp
  packer/plan.cpp
  packer/settings.cpp
  packer/splash_image.cpp
  packer/system_dlls.cpp
  packer/utf.cpp
  packer/version_info.cpp
  packer/win_case.cpp
  packer/write_exe.cpp
  packer/write_object.cpp
  packer/write_payload.cpp)
