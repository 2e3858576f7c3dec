# Settings shared by the gateway builds (the mipsel and mips toolchain files),
# included by the top-level CMakeLists.txt when cross-compiling for MIPS.
#
# - The gateway programs (dornix, dornix-msg) are linked statically against
#   musl: a static program is one file to place and needs nothing of the
#   gateway's root file system (no C++ runtime, no matching C library), and
#   musl, made for static programs, leaves room that glibc's static start-up
#   code alone would fill (docs/performance.md, Gateway program sizes).
#   Together with -ffunction-sections/-fdata-sections and --gc-sections only
#   what is used stays in (dornix_gateway_programs below). The test build of
#   each program, which the tests run, is linked exactly like its production
#   build (dornix_on_musl below).
# - The message library for the gateway's other programs (libdornixmsg, the
#   C programs of the firmware) and the tests stay on the cross toolchain's C
#   library, glibc: a library goes with the C library of the programs that
#   link it, and the tests need the toolchain's C++ library (GoogleTest).
#   Tests link dynamically; qemu finds their libraries in /usr/<triplet>.
#   So every library a gateway program links is compiled twice, once for
#   each C library, from the same sources.
# - musl and the libraries the gateway side links (expat; libsodium) are put
#   into ${CMAKE_BINARY_DIR}/sysroot by scripts/gateway-sysroot at configure
#   time: musl, and expat and libsodium against it, built from Debian's
#   source packages into sysroot/musl; for glibc, expat from Debian's
#   packages for the architecture where it has them (mipsel), else built
#   from Debian's source package (big-endian mips), and libsodium always
#   built from its source package, made to verify small. Should that fail
#   (no network) the build goes on without expat and leaves the XML message
#   reader out (DORNIX_WITH_EXPAT in gateway/CMakeLists.txt), without the
#   signature checks, and with the gateway programs on glibc, loudly.
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
set(DORNIX_GATEWAY_LIBC musl CACHE STRING
    "The C library the gateway programs are linked against, statically: musl or glibc")
set_property(CACHE DORNIX_GATEWAY_LIBC PROPERTY STRINGS musl glibc)

# What a gateway program may weigh, stripped, in bytes: NAME|SHARED|STATIC,
# SHARED for its production build linked against the shared C library (our
# code and the archives we link), STATIC for the production program as it
# ships; 0 leaves one unchecked. dornix, with the signature checks, has to
# fit 128 KiB beside the C library and 512 KiB as it ships, static on musl
# (docs/performance.md, Gateway program sizes). A rule of the project, not a
# setting of a build tree: raising a limit is a commit.
set(DORNIX_SIZE_LIMITS "dornix|131072|524288")
# Libraries we link (expat, libsodium) come as archives either way.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# The libraries of the sysroot. For glibc: headers in usr/include, archives
# in usr/lib/<triplet>, found by find_package/find_library through the root
# path. musl and what is built against it: musl/include and musl/lib, taken
# only by the gateway programs (dornix_on_musl below).
set(DORNIX_SYSROOT_LIBRARIES expat sodium)
if(DORNIX_STATIC_LINK AND DORNIX_GATEWAY_LIBC STREQUAL "musl")
  list(APPEND DORNIX_SYSROOT_LIBRARIES musl musl-expat musl-sodium)
endif()
set(DORNIX_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
# What the sysroot builds from source is compiled through the build's own
# compiler launcher (ccache), when it has one.
set(sysroot_env)
if(CMAKE_C_COMPILER_LAUNCHER)
  list(JOIN CMAKE_C_COMPILER_LAUNCHER " " launcher)
  set(sysroot_env ${CMAKE_COMMAND} -E env "GATEWAY_CC_LAUNCHER=${launcher}")
endif()
execute_process(
  COMMAND ${sysroot_env} ${CMAKE_CURRENT_LIST_DIR}/../scripts/gateway-sysroot
          ${CMAKE_SYSTEM_PROCESSOR} ${DORNIX_SYSROOT} ${DORNIX_SYSROOT_LIBRARIES}
  RESULT_VARIABLE sysroot_status
  ERROR_VARIABLE sysroot_error)
list(APPEND CMAKE_FIND_ROOT_PATH ${DORNIX_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE ${DORNIX_GNU_TRIPLET})
if(NOT sysroot_status EQUAL 0)
  string(STRIP "${sysroot_error}" sysroot_error)
  message(WARNING "${sysroot_error}")
endif()

# The C library of the gateway programs: musl where the sysroot has it; a
# dynamic build has them on the toolchain's (glibc), as glibc does the rest.
set(DORNIX_MUSL_ROOT ${DORNIX_SYSROOT}/musl)
if(NOT DORNIX_STATIC_LINK)
  set(DORNIX_GATEWAY_LIBC glibc)
elseif(DORNIX_GATEWAY_LIBC STREQUAL "musl" AND NOT EXISTS ${DORNIX_MUSL_ROOT}/lib/libc.a)
  message(WARNING "no musl for ${CMAKE_SYSTEM_PROCESSOR}: the gateway programs are linked "
                  "statically against glibc, and dornix passes its static size limit")
  set(DORNIX_GATEWAY_LIBC glibc)
elseif(NOT DORNIX_GATEWAY_LIBC MATCHES "^(musl|glibc)$")
  message(FATAL_ERROR "DORNIX_GATEWAY_LIBC is musl or glibc, not ${DORNIX_GATEWAY_LIBC}")
endif()

# Compiling and linking against musl alone. -nostdinc drops the toolchain's
# glibc headers (and with them every standard directory): musl's headers
# (with the kernel's beside them), the compiler's own, and for C++ the
# directories of libstdc++'s headers, of which the gateway code takes only
# the freestanding <new>. libstdc++ is configured for glibc and asks glibc's
# version macro, which musl does not define: false, as for any C library but
# glibc. -B puts musl's start files and archives before the toolchain's; its
# empty libstdc++.a stands in for the toolchain's (scripts/gateway-sysroot).
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(DORNIX_MUSL_COMPILE_OPTIONS -nostdinc)
foreach(dir ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
  if(dir MATCHES "/c\\+\\+/")
    list(APPEND DORNIX_MUSL_COMPILE_OPTIONS $<$<COMPILE_LANGUAGE:CXX>:-isystem${dir}>)
  endif()
endforeach()
list(APPEND DORNIX_MUSL_COMPILE_OPTIONS -isystem${DORNIX_MUSL_ROOT}/include
     -isystem${compiler_include} "$<$<COMPILE_LANGUAGE:CXX>:-D__GLIBC_PREREQ(major$<COMMA>minor)=0>")
set(DORNIX_MUSL_LINK_OPTIONS -static -B${DORNIX_MUSL_ROOT}/lib)

# dornix_musl_items(OUT ITEM...): link items as a program on musl takes them:
# a library target of ours becomes its musl build (TARGET-musl, made here
# once, from the same sources with the same options and definitions, its own
# link items taken the same way), an archive of the glibc sysroot (imported
# or named by path) the same archive built against musl. Targets named inside
# generator expressions are taken too. Anything else has no musl build: an
# error, so that no glibc archive slips into a musl program.
function(dornix_musl_items out)
  set(result)
  foreach(item ${ARGN})
    if(item MATCHES "^::@")
      # CMake's mark of the folder whose names the items up to the next
      # mark were given in.
      list(APPEND result "${item}")
    elseif(item MATCHES "\\$<")
      # "::" would read as two separators below.
      string(REPLACE "::" "@@" text "${item}")
      string(REGEX MATCHALL "[A-Za-z0-9_.+@/-]+" tokens "${text}")
      foreach(token ${tokens})
        string(REPLACE "@@" "::" name "${token}")
        if(TARGET ${name} OR name MATCHES "^/")
          dornix_musl_item(${name} new)
          string(REPLACE "::" "@@" new "${new}")
          string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" token "${token}")
          string(REGEX REPLACE "([:,>])${token}([>,])" "\\1${new}\\2" text "${text}")
        endif()
      endforeach()
      string(REPLACE "@@" "::" text "${text}")
      list(APPEND result "${text}")
    else()
      dornix_musl_item(${item} new)
      list(APPEND result ${new})
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# One item of the above (no generator expression).
function(dornix_musl_item item out)
  set(glibc_libraries ${DORNIX_SYSROOT}/usr/lib/${DORNIX_GNU_TRIPLET})
  if(TARGET ${item})
    get_target_property(imported ${item} IMPORTED)
    get_target_property(type ${item} TYPE)
    if(imported)
      get_target_property(file ${item} IMPORTED_LOCATION)
      if(NOT file)
        get_target_property(file ${item} IMPORTED_LOCATION_RELEASE)
      endif()
      dornix_musl_item("${file}" mapped)
      set(${out} ${mapped} PARENT_SCOPE)
      return()
    endif()
    get_target_property(links ${item} INTERFACE_LINK_LIBRARIES)
    if(type STREQUAL "INTERFACE_LIBRARY" AND NOT links)
      # Headers and definitions only (the version header): the same for both.
      set(${out} ${item} PARENT_SCOPE)
    elseif(type MATCHES "^(STATIC|OBJECT|INTERFACE)_LIBRARY$")
      dornix_musl_library(${item})
      set(${out} ${item}-musl PARENT_SCOPE)
    else()
      message(FATAL_ERROR "${item} (${type}) has no musl build")
    endif()
  elseif(item MATCHES "^${glibc_libraries}/(lib[^/]+\\.a)$"
         AND EXISTS ${DORNIX_MUSL_ROOT}/lib/${CMAKE_MATCH_1})
    set(${out} ${DORNIX_MUSL_ROOT}/lib/${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${item} has no musl build (in ${DORNIX_MUSL_ROOT}/lib)")
  endif()
endfunction()

# The musl build TARGET-musl of library TARGET (above). Its archives go to
# ${CMAKE_BINARY_DIR}/musl. Include directories of the glibc sysroot are
# left out: musl's holds the same libraries' headers.
function(dornix_musl_library target)
  if(TARGET ${target}-musl)
    return()
  endif()
  set(variant ${target}-musl)
  get_target_property(type ${target} TYPE)
  get_target_property(dir ${target} SOURCE_DIR)
  if(type STREQUAL "INTERFACE_LIBRARY")
    add_library(${variant} INTERFACE)
  else()
    get_target_property(sources ${target} SOURCES)
    list(TRANSFORM sources PREPEND ${dir}/ REGEX "^[^/]")
    string(REGEX REPLACE "_LIBRARY$" "" kind ${type})
    add_library(${variant} ${kind} ${sources})
    set_target_properties(${variant} PROPERTIES ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/musl)
    # What a source file carries of its own, as its folder sets it.
    foreach(source ${sources})
      foreach(property COMPILE_DEFINITIONS COMPILE_OPTIONS)
        get_source_file_property(value ${source} DIRECTORY ${dir} ${property})
        if(value)
          set_source_files_properties(${source} TARGET_DIRECTORY ${variant}
                                      PROPERTIES ${property} "${value}")
        endif()
      endforeach()
    endforeach()
  endif()
  foreach(property COMPILE_OPTIONS COMPILE_DEFINITIONS COMPILE_FEATURES INCLUDE_DIRECTORIES
                   INTERFACE_COMPILE_OPTIONS INTERFACE_COMPILE_DEFINITIONS
                   INTERFACE_INCLUDE_DIRECTORIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES)
    get_target_property(value ${target} ${property})
    if(value)
      list(FILTER value EXCLUDE REGEX "^${DORNIX_SYSROOT}/")
      set_property(TARGET ${variant} PROPERTY ${property} ${value})
    endif()
  endforeach()
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    target_compile_options(${variant} PRIVATE ${DORNIX_MUSL_COMPILE_OPTIONS})
  endif()
  foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
    get_target_property(links ${target} ${property})
    if(links)
      dornix_musl_items(links ${links})
      set_property(TARGET ${variant} PROPERTY ${property} ${links})
    endif()
  endforeach()
  get_target_property(dependencies ${target} MANUALLY_ADDED_DEPENDENCIES)
  if(dependencies)
    add_dependencies(${variant} ${dependencies})
  endif()
endfunction()

# dornix_on_musl(PROGRAM): PROGRAM compiled and linked against musl, with the
# musl builds of what it links.
function(dornix_on_musl program)
  get_target_property(links ${program} LINK_LIBRARIES)
  dornix_musl_items(links ${links})
  set_property(TARGET ${program} PROPERTY LINK_LIBRARIES ${links})
  target_compile_options(${program} PRIVATE ${DORNIX_MUSL_COMPILE_OPTIONS})
  target_link_options(${program} PRIVATE ${DORNIX_MUSL_LINK_OPTIONS})
endfunction()

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
    # The twin on the toolchain's shared C library first, from the glibc
    # builds of the libraries; then the program moves to musl, and its
    # production build with it.
    dornix_gateway_twin(${program} ${program}-dynamic)
    target_link_options(${program}-dynamic PRIVATE -Wl,--gc-sections -Wl,--as-needed)
    if(DORNIX_GATEWAY_LIBC STREQUAL "musl")
      dornix_on_musl(${program})
    endif()
    dornix_gateway_twin(${program} ${program}-production)
    set_target_properties(${program}-production PROPERTIES
      OUTPUT_NAME ${program} RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/production)
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
    # A dynamic program's start-up code is in the shared C library: only the
    # static ones tell theirs.
    set(libc "")
    if(DORNIX_STATIC_LINK)
      set(libc ${DORNIX_GATEWAY_LIBC})
    endif()
    add_test(NAME gateway_production_builds
             COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBC=${libc} "-DPROGRAMS=${checks}"
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
