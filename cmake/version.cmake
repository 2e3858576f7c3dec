# The version every program prints with --version: the project's version and,
# in a build from a git checkout, the commit (git describe, "-dirty" when the
# tree has changes). A build from a source archive without git gets the
# project's version alone.
#
# Included from the top CMakeLists.txt, it defines the interface library
# `dornix_version`: linking it gives a program "dornix_version.h" with
#   DORNIX_VERSION             "0.1" or "0.1 (git e5dd838)"
#   DORNIX_VERSION_LINE("fwtag")  "fwtag (Dornix and Velmora) 0.1 (git e5dd838)\n",
#                              the first line of every program's --version
# The header is written at build time (so that a new commit shows without
# reconfiguring) and only when its text changes (so that nothing rebuilds
# for nothing). Run as a script (cmake -P) it writes the header.

if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DSOURCE_DIR=... -DVERSION=... -DOUTPUT=... -P version.cmake
  set(commit "")
  find_program(GIT_EXECUTABLE git)
  if(GIT_EXECUTABLE)
    # Only the project's own repository counts, not one it happens to be
    # unpacked inside.
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --show-toplevel
                    OUTPUT_VARIABLE top RESULT_VARIABLE rc ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(rc EQUAL 0)
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${SOURCE_DIR}" src)
      if(top STREQUAL src)
        execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --always --dirty
                        OUTPUT_VARIABLE commit RESULT_VARIABLE rc ERROR_QUIET
                        OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT rc EQUAL 0)
          set(commit "")
        endif()
      endif()
    endif()
  endif()
  set(text "${VERSION}")
  if(commit)
    set(text "${VERSION} (git ${commit})")
  endif()
  string(CONCAT content "// Written by cmake/version.cmake at build time.\n"
                     "#define DORNIX_VERSION \"${text}\"\n"
                     "#define DORNIX_VERSION_LINE(program) program \" (Dornix and Velmora) \" DORNIX_VERSION \"\\n\"\n")
  set(old "")
  if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} old)
  endif()
  if(NOT old STREQUAL content)
    file(WRITE ${OUTPUT} "${content}")
  endif()
  return()
endif()

set(DORNIX_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/dornix_version.h)
add_custom_target(dornix_version_header
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
          -DOUTPUT=${DORNIX_VERSION_HEADER} -P ${CMAKE_CURRENT_LIST_FILE}
  BYPRODUCTS ${DORNIX_VERSION_HEADER}
  COMMENT "Version header"
  VERBATIM)
add_library(dornix_version INTERFACE)
target_include_directories(dornix_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
add_dependencies(dornix_version dornix_version_header)

# dornix_man_page(NAME "what it is for" [PROGRAM path] [ENV NAME=VALUE...]
#                 [DEPENDS ...]): the section 1 manual page NAME.1, made by
# help2man from the program's --help and --version and installed. The program
# is the target NAME, or the script PROGRAM (run with ENV, after DEPENDS are
# built). Not in a cross build, whose programs do not run here.
find_program(HELP2MAN help2man)
function(dornix_man_page name description)
  cmake_parse_arguments(M "" "PROGRAM" "ENV;DEPENDS" ${ARGN})
  if(CMAKE_CROSSCOMPILING OR NOT HELP2MAN)
    return()
  endif()
  if(M_PROGRAM)
    set(program ${M_PROGRAM})
  else()
    set(program $<TARGET_FILE:${name}>)
    list(APPEND M_DEPENDS ${name})
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E env ${M_ENV}
            ${HELP2MAN} --no-info --section=1 "--name=${description}"
            "--source=Dornix and Velmora" "--manual=User Commands" --output=${page} ${program}
    DEPENDS ${M_DEPENDS} ${M_PROGRAM}
    COMMENT "Manual page ${name}.1"
    VERBATIM)
  add_custom_target(${name}_man ALL DEPENDS ${page})
  # Installed with the program (cmake/install.cmake), not for the tools that
  # stay on the development machine.
  if(name IN_LIST DORNIX_INSTALL_PC_PROGRAMS)
    install(FILES ${page} DESTINATION share/man/man1)
  endif()
endfunction()
