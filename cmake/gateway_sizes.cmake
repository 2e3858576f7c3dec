# Prints the stripped size of each gateway program: the production build,
# static as it ships and linked against the shared C library (our own code
# plus the archives we link, such as expat, with the shared libraries it
# needs), and the scratch-root test build, static. Run by the gateway-sizes
# target:
#   cmake -DSTRIP=... -DREADELF=... -DPROGRAMS="name|production|test|dynamic;..." -P gateway_sizes.cmake
function(stripped_size file out)
  get_filename_component(name ${file} NAME)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${name}.stripped)
  execute_process(COMMAND ${STRIP} -o ${copy} ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot strip ${file}")
  endif()
  file(SIZE ${copy} size)
  file(REMOVE ${copy})
  set(${out} ${size} PARENT_SCOPE)
endfunction()

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
  message("${name}: ${production_size} bytes static (production); "
          "${dynamic_size} bytes with shared libraries (${needed}); "
          "test build ${test_size} bytes static")
endforeach()
