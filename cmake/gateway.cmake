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
#   expat from Debian's packages for the architecture where it has them
#   (mipsel), else built from Debian's source package (big-endian mips);
#   libsodium always built from its source package, made to verify small.
#   Should that fail (no network) the build goes on without expat and leaves
#   the XML message reader out (DORNIX_WITH_EXPAT in gateway/CMakeLists.txt),
#   and without the signature checks, loudly.
# - Tests run under qemu-user (CMAKE_CROSSCOMPILING_EMULATOR) and carry the
#   label qemu besides their own.
set(DORNIX_GATEWAY_BUILD ON)
# An install lays out a gateway image's tree (cmake/install.cmake).
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix on the gateway" FORCE)
endif()
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

# What a gateway program may weigh, stripped, in bytes: NAME|SHARED|STATIC,
# SHARED for its production build linked against the shared C library (our
# code and the archives we link), STATIC for the production program as it
# ships; 0 leaves one unchecked. dornix, with the signature checks, has to
# fit 128 KiB beside the C library. Statically it carries glibc's own static
# floor, some 570,000 bytes for a program that does nothing: its limit
# guards against growth above today's size (docs/performance.md, Gateway
# program sizes). A rule of the project, not a setting of a build tree:
# raising a limit is a commit.
set(DORNIX_SIZE_LIMITS "dornix|131072|851968")
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

# dornix_gateway_programs(TARGET...): the programs that go onto the gateway,
# each in two builds from the same objects:
#   TARGET             the test build, on the scratch root (gwplatform_scratch);
#                      the tests run it under qemu-user
#   TARGET-production  the build for a gateway image, named TARGET in
#                      ${CMAKE_BINARY_DIR}/production: real paths, real
#                      reboot(), the drivers' requests, no DORNIX_ROOT
#                      (gwplatform_device, gateway/platform/CMakeLists.txt)
# Only platform.cpp and the program's own main file are compiled for both;
# every library object is the one the tests ran. The production programs are
# what `cmake --install` and the package take.
#
# Both are linked statically with unused sections dropped, and with our
# malloc-based operator new/delete (gateway/support/gw_new.cpp) so that
# libstdc++'s throwing one, and the exception machinery behind it, stays
# out; a test sees to it that nothing else brings that machinery back (a
# std::string, a std::vector), another that the production programs hold no
# scratch-root code (cmake/production_check.cmake).
# Called from the top-level CMakeLists.txt once every target is defined;
# programs that this build leaves out are skipped.
#
# The gateway-sizes target prints the stripped size of each production
# program, static as it ships and as its twin TARGET-dynamic, linked against
# the shared C library (our own code with the archives it links, such as
# expat), beside the test build's:
#   cmake --build --preset mipsel --target gateway-sizes
# It fails, and so does the test gateway_sizes, when a program passes its
# limits (DORNIX_SIZE_LIMITS above).
function(dornix_gateway_twin program twin)
  get_target_property(dir ${program} SOURCE_DIR)
  get_target_property(sources ${program} SOURCES)
  list(TRANSFORM sources PREPEND ${dir}/ REGEX "^[^/]")
  add_executable(${twin} ${ARGN} ${sources})
  foreach(property LINK_LIBRARIES COMPILE_OPTIONS COMPILE_DEFINITIONS INCLUDE_DIRECTORIES
                   LINK_OPTIONS)
    get_target_property(value ${program} ${property})
    if(value)
      set_property(TARGET ${twin} PROPERTY ${property} ${value})
    endif()
  endforeach()
  set_target_properties(${twin} PROPERTIES DORNIX_PRODUCTION ON)
endfunction()

function(dornix_gateway_programs)
  set(sizes)
  set(checks)
  set(production_programs)
  foreach(program ${ARGN})
    if(NOT TARGET ${program})
      continue()
    endif()
    target_link_libraries(${program} PRIVATE gwnew)
    dornix_gateway_twin(${program} ${program}-production)
    set_target_properties(${program}-production PROPERTIES
      OUTPUT_NAME ${program} RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/production)
    dornix_gateway_twin(${program} ${program}-dynamic)
    target_link_options(${program}-dynamic PRIVATE -Wl,--gc-sections -Wl,--as-needed)
    foreach(target ${program} ${program}-production)
      target_link_options(${target} PRIVATE -Wl,--gc-sections)
      if(DORNIX_STATIC_LINK)
        target_link_options(${target} PRIVATE -static)
      endif()
    endforeach()
    list(APPEND production_programs ${program}-production)
    set(files "$<TARGET_FILE:${program}-production>|$<TARGET_FILE:${program}>")
    list(APPEND sizes "${program}|${files}|$<TARGET_FILE:${program}-dynamic>")
    list(APPEND checks "${program}|${files}")
    list(APPEND size_targets ${program} ${program}-production ${program}-dynamic)
    if(BUILD_TESTING)
      add_test(NAME ${program}_throws_nothing
               COMMAND sh -c "for f; do s=$('${CMAKE_NM}' \"$f\") && ! echo \"$s\" | grep -E '__cxa_throw|__gxx_personality' || exit 1; done"
                       sh $<TARGET_FILE:${program}-production> $<TARGET_FILE:${program}>)
      set_tests_properties(${program}_throws_nothing PROPERTIES LABELS unit)
    endif()
  endforeach()
  set(DORNIX_PRODUCTION_PROGRAMS ${production_programs} PARENT_SCOPE)
  if(BUILD_TESTING)
    add_test(NAME gateway_production_builds
             COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DPROGRAMS=${checks}"
                     -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/production_check.cmake)
    set_tests_properties(gateway_production_builds PROPERTIES LABELS unit)
  endif()
  # The lists go whole into one argument each (not through a list variable,
  # which would split them).
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/gateway_sizes.cmake)
  add_custom_target(gateway-sizes
    COMMAND ${CMAKE_COMMAND} -DSTRIP=${CMAKE_STRIP} -DREADELF=${CMAKE_READELF}
            "-DPROGRAMS=${sizes}" "-DLIMITS=${DORNIX_SIZE_LIMITS}" -P ${script}
    DEPENDS ${size_targets}
    VERBATIM)
  if(BUILD_TESTING)
    add_test(NAME gateway_sizes
             COMMAND ${CMAKE_COMMAND} -DSTRIP=${CMAKE_STRIP} -DREADELF=${CMAKE_READELF}
                     "-DPROGRAMS=${sizes}" "-DLIMITS=${DORNIX_SIZE_LIMITS}" -P ${script})
    set_tests_properties(gateway_sizes PROPERTIES LABELS unit)
  endif()
endfunction()
