# What `cmake --install` puts where (GNUInstallDirs), by component:
#   Runtime      the two libraries (.so, or .dll on Windows)
#   Development  headers, import libraries and .def files (Windows), the CMake
#                package configurations (find_package(Kelvara),
#                find_package(Sampora)) and the pkg-config files
#   Tools        the kelvara and sampora programs
#   Simulators   the reader simulators and the simulated vendor libraries
#   Documentation the man pages and the documents beside them
# A package (a Windows zip, a Debian package) takes these components. On
# Windows the tree is what an integrator gets in the zip (WindowsPackage.cmake
# adds the MSVC import libraries and README-windows.md): the DLLs, headers,
# import libraries, .def files and the simulated vendor DLLs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(WQN_INSTALL_CMAKEDIR_KELVARA ${CMAKE_INSTALL_LIBDIR}/cmake/Kelvara)
set(WQN_INSTALL_CMAKEDIR_SAMPORA ${CMAKE_INSTALL_LIBDIR}/cmake/Sampora)
# Where the simulated vendor libraries go: out of the loader's way, so that a
# real vendor library is never shadowed by a simulator.
if(WIN32)
  set(_wqn_vendor_sim_dir simulators)
else()
  set(_wqn_vendor_sim_dir ${CMAKE_INSTALL_LIBDIR}/wqn-simulators)
endif()
set(WQN_INSTALL_VENDOR_SIM_DIR ${_wqn_vendor_sim_dir} CACHE STRING
    "Install directory of the simulated vendor libraries, relative to the prefix")

# Installed programs find the libraries beside them (Linux: ../lib).
if(NOT WIN32)
  file(RELATIVE_PATH _wqn_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set(WQN_INSTALL_RPATH "$ORIGIN/${_wqn_bin_to_lib}")
endif()

function(wqn_install_program target component)
  if(NOT TARGET ${target})
    return()
  endif()
  if(WQN_INSTALL_RPATH)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${WQN_INSTALL_RPATH}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
endfunction()

# One library with its header, its package configuration and its pkg-config
# file. `name` is the package name (Kelvara, Sampora), `target` the library
# target, `header` the public header, `def` the .def file of this build (or
# empty).
function(wqn_install_library name target header def)
  string(TOLOWER ${name} lower)
  set_property(TARGET ${target} PROPERTY EXPORT_NAME ${lower})
  install(TARGETS ${target} EXPORT ${name}Targets
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
  if(def)
    install(FILES ${def} DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME ${name}.def COMPONENT Development)
  endif()
  if(WIN32)
    return() # Windows callers link the import libraries; no CMake or pkg-config files
  endif()

  set(cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
  install(EXPORT ${name}Targets NAMESPACE ${name}:: DESTINATION ${cmakedir} COMPONENT Development)
  set(WQN_PACKAGE ${name})
  set(WQN_TARGET ${lower})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/install/PackageConfig.cmake.in
                                ${CMAKE_CURRENT_BINARY_DIR}/install/${name}Config.cmake
                                INSTALL_DESTINATION ${cmakedir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/install/${name}ConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/install/${name}Config.cmake
                ${CMAKE_CURRENT_BINARY_DIR}/install/${name}ConfigVersion.cmake
          DESTINATION ${cmakedir} COMPONENT Development)

  # pkg-config: -l takes the library's file name without prefix and suffix.
  get_target_property(output ${target} OUTPUT_NAME)
  if(NOT output)
    set(output ${target})
  endif()
  set(WQN_PC_NAME ${lower})
  set(WQN_PC_DESCRIPTION "${name} smart-card reader library")
  set(WQN_PC_LIB ${output})
  set(WQN_PC_VERSION ${PROJECT_VERSION})
  # Relative to the prefix, so the installed tree may be moved.
  file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  set(WQN_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  string(REGEX REPLACE "/$" "" WQN_PC_PREFIX "${WQN_PC_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/install/library.pc.in ${CMAKE_CURRENT_BINARY_DIR}/install/${lower}.pc
                 @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/install/${lower}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT Development)
endfunction()

# The libraries find their headers in the source tree while building and in
# the installed include directory afterwards.
foreach(target kelvara sampora)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  list(REMOVE_ITEM dirs ${PROJECT_SOURCE_DIR}/include)
  list(APPEND dirs $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${dirs}")
endforeach()

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_wqn_kelvara_def ${PROJECT_SOURCE_DIR}/kelvara/platform/win32/kelvara-i686.def)
  else()
    set(_wqn_kelvara_def ${PROJECT_SOURCE_DIR}/kelvara/platform/win32/kelvara-x86_64.def)
  endif()
  set(_wqn_sampora_def ${PROJECT_SOURCE_DIR}/sampora/win32/Sampora.def)
endif()
wqn_install_library(Kelvara kelvara ${PROJECT_SOURCE_DIR}/include/kelvara.h "${_wqn_kelvara_def}")
wqn_install_library(Sampora sampora ${PROJECT_SOURCE_DIR}/include/sampora.h "${_wqn_sampora_def}")

# Linux: versioned libraries (libkelvara.so.1 -> libkelvara.so.1.0): the
# SONAME changes only when a caller built against the old one would break.
if(NOT WIN32)
  foreach(target kelvara sampora)
    set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endforeach()
endif()

foreach(vendor gcic32 mcs_sr)
  if(TARGET ${vendor})
    install(TARGETS ${vendor}
            RUNTIME DESTINATION ${WQN_INSTALL_VENDOR_SIM_DIR} COMPONENT Simulators
            LIBRARY DESTINATION ${WQN_INSTALL_VENDOR_SIM_DIR} COMPONENT Simulators)
  endif()
endforeach()
wqn_install_program(kelvara-tool Tools)
wqn_install_program(sampora-tool Tools)
if(WIN32)
  return() # the reader simulators, man pages and completions are for Linux
endif()

foreach(sim kelvara-serial-sim kelvara-usb-sim sampora-sim)
  wqn_install_program(${sim} Simulators)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/docs/kelvara.1 ${PROJECT_SOURCE_DIR}/docs/sampora.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Documentation)
install(FILES ${PROJECT_SOURCE_DIR}/docs/kelvara-json.md ${PROJECT_SOURCE_DIR}/docs/trace.md
              ${PROJECT_SOURCE_DIR}/docs/card-format.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Documentation)

# Bash completion: one script serves both tools (it reads their --help).
foreach(tool kelvara sampora)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/wqn-tools.bash DESTINATION
          ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool} COMPONENT Tools)
endforeach()

# The tools' message catalogues (po/), when the build made them.
if(TARGET wqn-tools-catalogues)
  install(DIRECTORY ${WQN_TOOLS_LOCALE_DIR}/ DESTINATION ${CMAKE_INSTALL_LOCALEDIR} COMPONENT Tools)
endif()
