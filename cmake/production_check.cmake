# Checks that each gateway program's production build holds none of the
# scratch-root code its test build has (cmake/gateway.cmake):
#   - the name DORNIX_ROOT (the variable that moves every fixed path) and the
#     restart marker's file name are in the test build and not in production,
#     nor are the names of the test hooks (DORNIX_..._MS);
#   - where the test build records restarts, production calls reboot() and
#     the test build never does;
#   - both are linked against the same C library, the one the build chose
#     (LIBC: musl or glibc), told by its start-up code: musl's __init_libc,
#     glibc's __libc_setup_tls (static programs).
# Run as the test gateway_production_builds:
#   cmake -DNM=... -DLIBC=musl -DPROGRAMS="name|production|test;..." -P production_check.cmake
set(failures "")

function(has_text file text out)
  file(STRINGS ${file} found LIMIT_COUNT 1 REGEX "${text}")
  if(found)
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

function(symbols_of file out)
  execute_process(COMMAND ${NM} ${file} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} ${file} failed")
  endif()
  set(${out} "${symbols}" PARENT_SCOPE)
endfunction()

function(calls_reboot file out)
  symbols_of(${file} symbols)
  if(symbols MATCHES "\n[0-9a-f]+ [TtW] reboot\n")
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

function(c_library file out)
  symbols_of(${file} symbols)
  if(symbols MATCHES "\n[0-9a-f]+ [Tt] __init_libc\n")
    set(${out} musl PARENT_SCOPE)
  elseif(symbols MATCHES "\n[0-9a-f]+ [Tt] __libc_setup_tls\n")
    set(${out} glibc PARENT_SCOPE)
  else()
    set(${out} "an unknown C library" PARENT_SCOPE)
  endif()
endfunction()

foreach(entry ${PROGRAMS})
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 production)
  list(GET entry 2 test)
  foreach(text DORNIX_ROOT restart-requested "DORNIX_[A-Z_]+_MS")
    has_text(${production} ${text} in_production)
    has_text(${test} ${text} in_test)
    if(in_production)
      list(APPEND failures "${name}: the production build holds \"${text}\"")
    endif()
    if(text STREQUAL "DORNIX_ROOT" AND NOT in_test)
      list(APPEND failures "${name}: the test build does not hold \"${text}\": is it a scratch-root build?")
    endif()
    if(text STREQUAL "restart-requested")
      set(records_restarts ${in_test})
    endif()
  endforeach()
  calls_reboot(${production} production_reboots)
  calls_reboot(${test} test_reboots)
  if(test_reboots)
    list(APPEND failures "${name}: the test build calls reboot()")
  endif()
  if(records_restarts AND NOT production_reboots)
    list(APPEND failures "${name}: the test build records restarts, the production build never calls reboot()")
  endif()
  c_library(${production} production_libc)
  c_library(${test} test_libc)
  if(NOT production_libc STREQUAL test_libc)
    list(APPEND failures "${name}: the production build is linked against ${production_libc}, the test build against ${test_libc}")
  elseif(LIBC AND NOT production_libc STREQUAL LIBC)
    list(APPEND failures "${name}: linked against ${production_libc}, not ${LIBC}")
  endif()
  message("${name}: production ${production}, test build ${test}, both on ${production_libc}")
endforeach()

if(failures)
  string(JOIN "\n" failures ${failures})
  message(FATAL_ERROR "${failures}")
endif()
