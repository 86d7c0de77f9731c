# The Debian package: `cpack --config build/<preset>/CPackConfig.cmake` (or
# the target `package`) makes kelvara-sampora_<version>_<arch>.deb with every
# install component: the versioned libraries, headers, CMake and pkg-config
# files, the tools with their completions and catalogues, the simulators, the
# man pages and kelvara.jar. One package, since the libraries, tools and
# simulators are released together; installed under /usr (the libraries in
# /usr/lib, on the JVM's default library path).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME kelvara-sampora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "WQN Ltd.")
set(CPACK_PACKAGE_CONTACT "WQN Ltd. <support@wqn.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kelvara and Sampora smart-card reader libraries, tools and simulators")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kelvara reads and writes flash memory cards through four kinds of reader and keeps a small file\n\
 system on them; Sampora drives a contactless card reader with a secure access module. The\n\
 package holds both libraries with headers, CMake and pkg-config files, the kelvara and sampora\n\
 tools, simulators of every reader and the Java class.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://wqn.invalid/kelvara")
# The dependencies are what dpkg-shlibdeps reads off the programs; the
# package's own libraries need no package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/kelvara ${CMAKE_BINARY_DIR}/sampora)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "default-jre-headless")
# Only the product: no test or third-party install rules.
set(CPACK_COMPONENTS_ALL Runtime Development Tools Simulators Documentation)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
include(CPack)
