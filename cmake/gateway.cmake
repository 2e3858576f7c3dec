# Settings shared by the gateway builds (the mipsel and mips toolchain files),
# included by the top-level CMakeLists.txt when cross-compiling for MIPS.
#
# - The gateway programs (dornix, dornix-msg) are linked statically: a
#   static program is one file to place and needs nothing of the gateway's
#   root file system (no C++ runtime, no matching C library). Together with -ffunction-sections/-fdata-sections and
#   --gc-sections only what is used stays in (dornix_gateway_programs below).
#   Tests link dynamically; qemu finds their libraries in /usr/<triplet>.
# - The libraries the gateway side links (expat; libsodium) are put into
#   ${CMAKE_BINARY_DIR}/sysroot by scripts/gateway-sysroot at configure time:
#   Debian's packages for the architecture where it has them (mipsel), else
#   built from Debian's source packages (big-endian mips). Should that fail
#   (no network) the build goes on without expat and leaves the XML message
#   reader out (DORNIX_WITH_EXPAT in gateway/CMakeLists.txt), loudly.
# - Tests run under qemu-user (CMAKE_CROSSCOMPILING_EMULATOR) and carry the
#   label qemu besides their own.
set(DORNIX_GATEWAY_BUILD ON)
# A directory label reaches every test below it, also the ones that
# gtest_discover_tests adds when ctest runs.
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY LABELS qemu)

# The emulator as one command line with an absolute program path: tests that
# start a gateway program get it as DORNIX_EMULATOR (execve does not search PATH).
list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 emulator_name)
find_program(DORNIX_EMULATOR_PROGRAM ${emulator_name})
if(NOT DORNIX_EMULATOR_PROGRAM)
  message(WARNING "${emulator_name} not found (package qemu-user): the tests of this build cannot run")
  set(DORNIX_EMULATOR_PROGRAM ${emulator_name})
endif()
set(DORNIX_EMULATOR_COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR})
list(POP_FRONT DORNIX_EMULATOR_COMMAND)
list(PREPEND DORNIX_EMULATOR_COMMAND ${DORNIX_EMULATOR_PROGRAM})
string(JOIN " " DORNIX_EMULATOR_COMMAND ${DORNIX_EMULATOR_COMMAND})

option(DORNIX_STATIC_LINK "Link the gateway programs statically" ON)
# Libraries we link (expat, libsodium) come as archives either way.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# The libraries of the sysroot: headers in usr/include, archives in
# usr/lib/<triplet>, found by find_package/find_library through the root path.
set(DORNIX_SYSROOT_LIBRARIES expat sodium)
set(DORNIX_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/gateway-sysroot
          ${CMAKE_SYSTEM_PROCESSOR} ${DORNIX_SYSROOT} ${DORNIX_SYSROOT_LIBRARIES}
  RESULT_VARIABLE sysroot_status
  ERROR_VARIABLE sysroot_error)
list(APPEND CMAKE_FIND_ROOT_PATH ${DORNIX_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE ${DORNIX_GNU_TRIPLET})
if(NOT sysroot_status EQUAL 0)
  string(STRIP "${sysroot_error}" sysroot_error)
  message(WARNING "${sysroot_error}")
endif()

# dornix_gateway_programs(TARGET...): what makes a program fit for the
# gateway. Each is linked statically with unused sections dropped, and with
# our malloc-based operator new/delete (gateway/support/gw_new.cpp) so that
# libstdc++'s throwing one, and the exception machinery behind it, stays
# out; a test sees to it that nothing else brings that machinery back (a
# std::string, a std::vector).
# Called from the top-level CMakeLists.txt once every target is defined;
# programs that this build leaves out are skipped.
#
# The gateway-sizes target prints each program's stripped size, static and
# as its twin ${program}-dynamic, linked against the shared C library, shows
# our own code (with the archives it links, such as expat):
#   cmake --build --preset mipsel --target gateway-sizes
function(dornix_gateway_programs)
  set(sizes)
  foreach(program ${ARGN})
    if(NOT TARGET ${program})
      continue()
    endif()
    target_link_libraries(${program} PRIVATE gwnew)
    target_link_options(${program} PRIVATE -Wl,--gc-sections)
    if(DORNIX_STATIC_LINK)
      target_link_options(${program} PRIVATE -static)
    endif()

    get_target_property(dir ${program} SOURCE_DIR)
    get_target_property(sources ${program} SOURCES)
    get_target_property(libraries ${program} LINK_LIBRARIES)
    get_target_property(options ${program} COMPILE_OPTIONS)
    get_target_property(definitions ${program} COMPILE_DEFINITIONS)
    list(TRANSFORM sources PREPEND ${dir}/ REGEX "^[^/]")
    add_executable(${program}-dynamic EXCLUDE_FROM_ALL ${sources})
    target_link_libraries(${program}-dynamic PRIVATE ${libraries})
    if(options)
      target_compile_options(${program}-dynamic PRIVATE ${options})
    endif()
    if(definitions)
      target_compile_definitions(${program}-dynamic PRIVATE ${definitions})
    endif()
    target_link_options(${program}-dynamic PRIVATE -Wl,--gc-sections -Wl,--as-needed)
    list(APPEND sizes "${program}|$<TARGET_FILE:${program}>|$<TARGET_FILE:${program}-dynamic>")
    list(APPEND size_targets ${program} ${program}-dynamic)
    if(BUILD_TESTING)
      add_test(NAME ${program}_throws_nothing
               COMMAND sh -c "s=$('${CMAKE_NM}' \"$1\") && ! echo \"$s\" | grep -E '__cxa_throw|__gxx_personality'"
                       sh $<TARGET_FILE:${program}>)
      set_tests_properties(${program}_throws_nothing PROPERTIES LABELS unit)
    endif()
  endforeach()
  add_custom_target(gateway-sizes
    COMMAND ${CMAKE_COMMAND} -DSTRIP=${CMAKE_STRIP} -DREADELF=${CMAKE_READELF}
            "-DPROGRAMS=${sizes}" -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/gateway_sizes.cmake
    DEPENDS ${size_targets}
    VERBATIM)
endfunction()
