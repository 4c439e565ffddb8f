# The packer's modules, for zobrin-pack (host tree) and zobrin-pack.exe (Windows tree); the
# entry, payload/pack_main.cpp, is added by each.
set(ZOBRIN_PACKER_SOURCES
  payload/app_tree.cpp
  payload/coff_object.cpp
  payload/exe_extras.cpp
  payload/exe_image.cpp
  payload/file_io.cpp
  payload/host_os.cpp
  payload/ico_file.cpp
  payload/link_exe.cpp
  payload/payload_list.cpp
  payload/payload_read.cpp
  payload/payload_verify.cpp
  payload/payload_writer.cpp
  payload/pe_image.cpp
  payload/pe_resources.cpp
  payload/system_dlls.cpp
  payload/utf.cpp
  payload/version_info.cpp
  payload/win_case.cpp)
