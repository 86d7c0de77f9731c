# The Windows distribution: `cmake --build --preset mingw-i686 --target
# package` (or mingw-x86_64) makes a zip in the build tree with
#   bin/          Kelvara.dll, Sampora.dll and the tools kelvara.exe, sampora.exe
#   include/      kelvara.h, sampora.h
#   lib/          Kelvara.def, Sampora.def, the import libraries for MSVC
#                 (Kelvara.lib, Sampora.lib) and for mingw
#                 (libKelvara.dll.a, libSampora.dll.a)
#   simulators/   Gcic32.dll and MCS_SR.DLL, the simulated vendor libraries
#   README-windows.md
# `cmake --install build/<preset> --prefix DIR` lays out the same tree.
# Included after WqnInstall.cmake, whose .def files of this build it uses.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(wqn_package_arch win32)
else()
  set(wqn_package_arch win64)
endif()
set(wqn_kelvara_def ${_wqn_kelvara_def})
set(wqn_sampora_def ${_wqn_sampora_def})

# MSVC's linker reads the import libraries dlltool writes from the .def
# files; in the 32-bit ones the stdcall names keep their @N for callers and
# import the plain names.
set(wqn_msvc_dir ${CMAKE_BINARY_DIR}/msvc-import)
add_custom_command(OUTPUT ${wqn_msvc_dir}/Kelvara.lib ${wqn_msvc_dir}/Sampora.lib
  COMMAND ${CMAKE_COMMAND} -E make_directory ${wqn_msvc_dir}
  COMMAND ${CMAKE_DLLTOOL} --def ${wqn_kelvara_def} --dllname Kelvara.dll --kill-at
          --output-lib ${wqn_msvc_dir}/Kelvara.lib
  COMMAND ${CMAKE_DLLTOOL} --def ${wqn_sampora_def} --dllname Sampora.dll --output-lib ${wqn_msvc_dir}/Sampora.lib
  DEPENDS ${wqn_kelvara_def} ${wqn_sampora_def}
  VERBATIM)
add_custom_target(msvc_import_libraries ALL DEPENDS ${wqn_msvc_dir}/Kelvara.lib ${wqn_msvc_dir}/Sampora.lib)

# The DLLs, headers, mingw import libraries, .def files and simulated vendor
# DLLs are installed by WqnInstall.cmake; the zip adds these.
install(FILES ${wqn_msvc_dir}/Kelvara.lib ${wqn_msvc_dir}/Sampora.lib DESTINATION lib COMPONENT Development)
install(FILES ${PROJECT_SOURCE_DIR}/docs/README-windows.md DESTINATION . COMPONENT Documentation)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Kelvara-Sampora)
set(CPACK_PACKAGE_FILE_NAME Kelvara-Sampora-${PROJECT_VERSION}-${wqn_package_arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
