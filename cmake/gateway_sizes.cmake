# Prints the stripped size of each gateway program: the production build,
# static as it ships and linked against the shared C library (our own code
# plus the archives we link, such as expat, with the shared libraries it
# needs), and the scratch-root test build, static. A program given limits
# must stay within them: past one, the script names it and fails (the
# gateway-sizes target, and the gateway_sizes test, so that no change passes
# a limit unseen). Run by both:
#   cmake -DSTRIP=... -DREADELF=... -DPROGRAMS="name|production|test|dynamic;..."
#         [-DLIMITS="name|shared|static;..."] -P gateway_sizes.cmake
# A limit of 0 is not checked.
function(stripped_size file out)
  get_filename_component(name ${file} NAME)
  # The target and the test may run at once: each strips to a copy of its own.
  string(RANDOM LENGTH 8 tag)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${name}.${tag}.stripped)
  execute_process(COMMAND ${STRIP} -o ${copy} ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${copy})
    message(FATAL_ERROR "cannot strip ${file}")
  endif()
  file(SIZE ${copy} size)
  file(REMOVE ${copy})
  set(${out} ${size} PARENT_SCOPE)
endfunction()

# Appends to `over` when `size` passes `limit` (bytes; 0: none).
function(check_limit name what size limit)
  if(limit GREATER 0 AND size GREATER limit)
    math(EXPR kib "${limit} / 1024")
    set(over ${over} "${name}: ${size} bytes ${what}, over its limit of ${limit} (${kib} KiB)"
        PARENT_SCOPE)
  endif()
endfunction()

set(over)
foreach(entry ${PROGRAMS})
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 production)
  list(GET entry 2 test)
  list(GET entry 3 dynamic)
  stripped_size(${production} production_size)
  stripped_size(${test} test_size)
  stripped_size(${dynamic} dynamic_size)
  execute_process(COMMAND ${READELF} -d ${dynamic} OUTPUT_VARIABLE dynamic_section)
  string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic_section}")
  string(REGEX REPLACE "Shared library: \\[([^]]*)\\]" "\\1" needed "${needed}")
  string(JOIN " " needed ${needed})
  set(limits "")
  foreach(limit ${LIMITS})
    if(limit MATCHES "^${name}\\|([0-9]+)\\|([0-9]+)$")
      set(limits " (limits: ${CMAKE_MATCH_1} with shared libraries, ${CMAKE_MATCH_2} static)")
      check_limit(${name} "with shared libraries" ${dynamic_size} ${CMAKE_MATCH_1})
      check_limit(${name} "static (production)" ${production_size} ${CMAKE_MATCH_2})
    endif()
  endforeach()
  message("${name}: ${production_size} bytes static (production); "
          "${dynamic_size} bytes with shared libraries (${needed}); "
          "test build ${test_size} bytes static${limits}")
endforeach()
if(over)
  string(JOIN "\n" over ${over})
  message(FATAL_ERROR "${over}\n(docs/performance.md, Gateway program sizes: what is in a program)")
endif()
