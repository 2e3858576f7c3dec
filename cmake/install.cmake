# What `cmake --install` lays out and what the package (`cpack`, or the
# `package` target) holds, per kind of build. Included from the top-level
# CMakeLists.txt after every target is defined; one place that names every
# deliverable.
#
#   gateway builds   a gateway image's staging tree, prefix /usr:
#     (mipsel, mips)   www/cgi-bin/dornix     the CGI (DORNIX_INSTALL_CGIDIR)
#                      bin/dornix-msg
#                      lib/libdornixmsg.a, lib/libdornixmsg.so*  the message library
#                      include/dornix/message.h, comm.h         its C header
#                      lib/pkgconfig/dornixmsg.pc
#                    only production programs (cmake/gateway.cmake), never
#                    the scratch-root test builds. Package: a tarball of the
#                    tree, to unpack at the root of the image's file system.
#   host build       bin/velmora-cli, bin/velmora-kit, bin/fwtag (and the
#                    manual pages, cmake/version.cmake). The gateway programs
#                    of a host build run on a scratch root: never installed.
#   mingw build      Velmora.exe and README.txt for kit builders, at the top
#                    of a zip.
#
# To ship another program, add its target to DORNIX_INSTALL_GATEWAY_PROGRAMS
# below (gateway side: its production build goes to bin/; it must be one of
# the programs given to dornix_gateway_programs) or to DORNIX_INSTALL_PC_PROGRAMS
# in the top-level CMakeLists.txt (bin/ of a host install, with its manual
# page); programs a build does not have are skipped.
#
#   DESTDIR=/tmp/stage cmake --install build/mipsel [--strip]
#   cmake --build --preset mipsel --target package  # build/mipsel/dornix-0.1-mipsel.tar.gz

include(GNUInstallDirs)

set(DORNIX_INSTALL_GATEWAY_PROGRAMS dornix-msg)

set(CPACK_PACKAGE_VENDOR "Dornix and Velmora")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_SOURCE_GENERATOR "")

if(DORNIX_GATEWAY_BUILD)
  # Where the gateway's web server runs CGI programs: its document root
  # /usr/www, whose cgi-bin holds the device's own CGI beside dornix and
  # whose pages that CGI serves as "../html/..." from there.
  set(DORNIX_INSTALL_CGIDIR www/cgi-bin CACHE STRING
      "Where the CGI goes, relative to the install prefix")

  install(TARGETS dornix-production RUNTIME DESTINATION ${DORNIX_INSTALL_CGIDIR})
  foreach(program ${DORNIX_INSTALL_GATEWAY_PROGRAMS})
    if(TARGET ${program}-production)
      install(TARGETS ${program}-production RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()

  # The message library for the gateway's other programs (C programs): the
  # message objects the tests ran, with the support and device-platform code
  # they call, as an archive and as a shared library that needs only the C
  # library (expat and libgcc go inside, hidden; only what message.h and
  # comm.h declare is exported).
  set(msg_objects $<TARGET_OBJECTS:dornixmsg> $<TARGET_OBJECTS:gwsupport>
                  $<TARGET_OBJECTS:gwcksum> $<TARGET_OBJECTS:gwplatform_device>)
  set_target_properties(dornixmsg gwsupport gwcksum gwplatform_device PROPERTIES
                        POSITION_INDEPENDENT_CODE ON)
  add_library(dornixmsg-static STATIC ${msg_objects})
  add_library(dornixmsg-shared SHARED ${msg_objects})
  set_target_properties(dornixmsg-static dornixmsg-shared PROPERTIES
    OUTPUT_NAME dornixmsg
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/production
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/production
    LINKER_LANGUAGE C)
  set_target_properties(dornixmsg-shared PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

  set(public_headers ${PROJECT_SOURCE_DIR}/gateway/messages/message.h
                     ${PROJECT_SOURCE_DIR}/gateway/messages/comm.h)
  set(exports "")
  foreach(header ${public_headers})
    file(STRINGS ${header} lines REGEX "^(extern +)?[a-zA-Z][^;(]*[ *][a-zA-Z_][a-zA-Z0-9_]*(\\(|;)")
    foreach(line ${lines})
      if(line MATCHES "^typedef" OR line MATCHES "^extern \"C\"")
        continue()
      endif()
      string(REGEX REPLACE "^.*[ *]([a-zA-Z_][a-zA-Z0-9_]*)[(;].*$" "\\1" name "${line}")
      string(APPEND exports "    ${name};\n")
    endforeach()
  endforeach()
  set(version_script ${CMAKE_BINARY_DIR}/dornixmsg.map)
  file(WRITE ${version_script} "{\n  global:\n${exports}  local:\n    *;\n};\n")
  if(DORNIX_WITH_EXPAT)
    target_link_libraries(dornixmsg-shared PRIVATE ${EXPAT_LIBRARY})
  endif()
  target_link_options(dornixmsg-shared PRIVATE
    -static-libgcc -Wl,--exclude-libs,ALL -Wl,--version-script=${version_script}
    -Wl,--gc-sections -Wl,--as-needed -Wl,--no-undefined)
  set_property(TARGET dornixmsg-shared APPEND PROPERTY LINK_DEPENDS ${version_script})

  if(DORNIX_WITH_EXPAT)
    set(pc_requires "Requires.private: expat")
  else()
    set(pc_requires "")
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/dornixmsg.pc.in ${CMAKE_BINARY_DIR}/dornixmsg.pc @ONLY)
  install(TARGETS dornixmsg-static dornixmsg-shared
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dornix)
  install(FILES ${CMAKE_BINARY_DIR}/dornixmsg.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  if(BUILD_TESTING AND DORNIX_WITH_EXPAT AND TARGET dornix-msg-production)
    separate_arguments(emulator UNIX_COMMAND "${DORNIX_EMULATOR_COMMAND}")
    add_test(NAME gateway_install_tree
             COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/tests/install_test.sh ${CMAKE_BINARY_DIR}
                     ${CMAKE_C_COMPILER} ${DORNIX_SYSROOT} ${DORNIX_GNU_TRIPLET}
                     ${CMAKE_INSTALL_PREFIX} ${DORNIX_INSTALL_CGIDIR} ${emulator})
    set_tests_properties(gateway_install_tree PROPERTIES LABELS unit)
  endif()

  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_NAME dornix)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_STRIP_FILES ON)
elseif(WIN32)
  if(TARGET Velmora)
    install(TARGETS Velmora RUNTIME DESTINATION .)
  endif()
  # Notepad of every Windows version reads CRLF.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-kit-builders.txt
                 ${CMAKE_BINARY_DIR}/README.txt NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Velmora)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_STRIP_FILES ON)
else()
  foreach(program ${DORNIX_INSTALL_PC_PROGRAMS})
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
  # A folder velmora-VERSION-Linux with bin/ and share/ to unpack anywhere.
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_NAME velmora)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
endif()

include(CPack)
