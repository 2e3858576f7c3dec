# Settings shared by the gateway builds (the mipsel and mips toolchain files),
# included by the top-level CMakeLists.txt when cross-compiling for MIPS.
#
# - The gateway programs (dornix, dornix-msg) are linked statically: a
#   static program is one file to place and needs nothing of the gateway's
#   root file system (no C++ runtime, no matching C library). Together with -ffunction-sections/-fdata-sections and
#   --gc-sections only what is used stays in (dornix_gateway_programs below).
#   Tests link dynamically; qemu finds their libraries in /usr/<triplet>.
# - expat comes from Debian's packages for the architecture, unpacked into
#   ${CMAKE_BINARY_DIR}/sysroot by scripts/gateway-sysroot. Where Debian has
#   none (big-endian mips) the build goes on without it and leaves the XML
#   message reader out (DORNIX_WITH_EXPAT in gateway/CMakeLists.txt).
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
# Libraries we link (expat) come as archives either way.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

set(DORNIX_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/gateway-sysroot
          ${CMAKE_SYSTEM_PROCESSOR} ${DORNIX_SYSROOT}
  RESULT_VARIABLE sysroot_status
  ERROR_VARIABLE sysroot_error)
if(sysroot_status EQUAL 0)
  list(APPEND CMAKE_FIND_ROOT_PATH ${DORNIX_SYSROOT})
  set(CMAKE_LIBRARY_ARCHITECTURE ${DORNIX_GNU_TRIPLET})
else()
  string(STRIP "${sysroot_error}" sysroot_error)
  message(STATUS "${sysroot_error}")
endif()

# dornix_gateway_programs(TARGET...): what makes a program fit for the
# gateway. Each is linked statically, with our malloc-based operator
# new/delete (gateway/support/gw_new.cpp) so that libstdc++'s throwing one,
# and the exception machinery behind it, stays out; a test sees to it that
# nothing else brings that machinery back (a std::string, a std::vector).
# Called from the top-level CMakeLists.txt once every target is defined;
# programs that this build leaves out are skipped.
function(dornix_gateway_programs)
  foreach(program ${ARGN})
    if(NOT TARGET ${program})
      continue()
    endif()
    target_link_libraries(${program} PRIVATE gwnew)
    if(DORNIX_STATIC_LINK)
      target_link_options(${program} PRIVATE -static)
    endif()
    if(BUILD_TESTING)
      add_test(NAME ${program}_throws_nothing
               COMMAND sh -c "s=$('${CMAKE_NM}' \"$1\") && ! echo \"$s\" | grep -E '__cxa_throw|__gxx_personality'"
                       sh $<TARGET_FILE:${program}>)
      set_tests_properties(${program}_throws_nothing PROPERTIES LABELS unit)
    endif()
  endforeach()
endfunction()
