# Installs the build tree into a scratch prefix, then builds and runs a small
# program of another project against the installed tree, once through the
# CMake package configurations and once through pkg-config; and runs the
# installed tools. Run as: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSCRATCH=...
# [-DCONSUMER_FLAGS=...] -P InstallTest.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${SCRATCH}/prefix)
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(path
    include/kelvara.h include/sampora.h
    ${CMAKE_INSTALL_LIBDIR}/libkelvara.so ${CMAKE_INSTALL_LIBDIR}/libsampora.so
    ${CMAKE_INSTALL_LIBDIR}/cmake/Kelvara/KelvaraConfig.cmake ${CMAKE_INSTALL_LIBDIR}/cmake/Sampora/SamporaConfig.cmake
    ${CMAKE_INSTALL_LIBDIR}/pkgconfig/kelvara.pc ${CMAKE_INSTALL_LIBDIR}/pkgconfig/sampora.pc
    bin/kelvara bin/sampora bin/kelvara-serial-sim bin/kelvara-usb-sim bin/sampora-sim
    ${CMAKE_INSTALL_LIBDIR}/wqn-simulators/libgcic32.so ${CMAKE_INSTALL_LIBDIR}/wqn-simulators/libmcs_sr.so
    share/man/man1/kelvara.1 share/man/man1/sampora.1)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()

# The tools' message catalogues, when the build made them.
set(catalogue zh_CN/LC_MESSAGES/wqn-tools.mo)
if(EXISTS ${BUILD_DIR}/locale/${catalogue} AND NOT EXISTS ${prefix}/share/locale/${catalogue})
  message(FATAL_ERROR "not installed: share/locale/${catalogue}")
endif()

# The installed tools find the installed libraries by themselves.
run(${prefix}/bin/kelvara --version)
if(NOT last_output MATCHES "^kelvara [0-9]")
  message(FATAL_ERROR "installed kelvara --version said: ${last_output}")
endif()
run(${prefix}/bin/sampora --version)

# A CMake project: find_package and the imported targets.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${SCRATCH}/cmake-build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS=${CONSUMER_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}")
run(${CMAKE_COMMAND} --build ${SCRATCH}/cmake-build)
run(${SCRATCH}/cmake-build/consumer)
if(NOT last_output MATCHES "consumer: ok")
  message(FATAL_ERROR "the CMake-built consumer said: ${last_output}")
endif()

# pkg-config: the flags it gives, and nothing else.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig)
run(pkg-config --cflags --libs kelvara sampora)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(sanitizer UNIX_COMMAND "${CONSUMER_FLAGS}")
run(cc ${sanitizer} ${SOURCE_DIR}/tests/install/consumer/consumer.c ${flags} -o ${SCRATCH}/pc-consumer)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${CMAKE_INSTALL_LIBDIR} ${SCRATCH}/pc-consumer)
if(NOT last_output MATCHES "consumer: ok")
  message(FATAL_ERROR "the pkg-config-built consumer said: ${last_output}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
message(STATUS "installed tree works through CMake and pkg-config")
