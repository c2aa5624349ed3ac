# The release inputs that are not files: the payload times and the version, checked and turned into the
# forms the sources and the resource script take. Included by the top-level CMakeLists.txt; also run on
# its own by scripts/release.sh, before anything is built, with the payload files too:
#   cmake -DPERNA_PAYLOAD=F -DKALENDO_PAYLOAD=F -DPERNA_TIME=T -DKALENDO_TIME=T -DUPDATER_FILE_VERSION=V
#         -DUPDATER_PRODUCT_VERSION=V -P release_inputs.cmake
# Every problem gets a line; then it stops.

# A payload time "YYYY-MM-DD hh:mm:ss" (local time) that exists, is not before 1980 (file dates of the
# era the product keeps to start then) and is not after this machine's clock (an installed file stamped
# in the future would count as current against every later update). Sets out to the SYSTEMTIME
# initializer; wDayOfWeek stays 0, as SystemTimeToFileTime ignores it.
function(release_payload_time name text out)
  set(${out} "" PARENT_SCOPE)
  if(NOT text MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9]) ([0-9][0-9]):([0-9][0-9]):([0-9][0-9])$")
    list(APPEND release_problems "${name} \"${text}\" is not a time YYYY-MM-DD hh:mm:ss")
    set(release_problems "${release_problems}" PARENT_SCOPE)
    return()
  endif()
  # Each REGEX REPLACE resets CMAKE_MATCH_n: take them all first.
  set(fields "")
  foreach(i RANGE 1 6)
    list(APPEND fields "${CMAKE_MATCH_${i}}")
  endforeach()
  list(TRANSFORM fields REPLACE "^0+([0-9])" "\\1")
  list(GET fields 0 year)
  list(GET fields 1 month)
  list(GET fields 2 day)
  list(GET fields 3 hour)
  list(GET fields 4 minute)
  list(GET fields 5 second)
  set(month_days 31 28 31 30 31 30 31 31 30 31 30 31)
  if(month GREATER 0 AND month LESS 13)
    math(EXPR index "${month} - 1")
    list(GET month_days ${index} days)
    math(EXPR by4 "${year} % 4")
    math(EXPR by100 "${year} % 100")
    math(EXPR by400 "${year} % 400")
    if(month EQUAL 2 AND by4 EQUAL 0 AND (NOT by100 EQUAL 0 OR by400 EQUAL 0))
      set(days 29)
    endif()
  endif()
  string(TIMESTAMP now "%Y-%m-%d %H:%M:%S")
  if(month LESS 1 OR month GREATER 12 OR day LESS 1 OR day GREATER days OR hour GREATER 23 OR minute GREATER 59
     OR second GREATER 59)
    list(APPEND release_problems "${name} \"${text}\" is no such time")
  elseif(year LESS 1980)
    list(APPEND release_problems "${name} \"${text}\" is before 1980")
  elseif(text STRGREATER now)
    list(APPEND release_problems "${name} \"${text}\" is in the future (this machine's local time is ${now})")
  else()
    set(${out} "{${year}, ${month}, 0, ${day}, ${hour}, ${minute}, ${second}, 0}" PARENT_SCOPE)
  endif()
  set(release_problems "${release_problems}" PARENT_SCOPE)
endfunction()

# A version "a.b.c.d", four numbers each at most 65535 (the fixed part holds each in 16 bits). Sets
# out_fixed to "a,b,c,d" and out_text to "a, b, c, d", the forms the resource script has always used.
function(release_version name text out_fixed out_text)
  if(NOT text MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    list(APPEND release_problems "${name} \"${text}\" is not four numbers a.b.c.d")
    set(release_problems "${release_problems}" PARENT_SCOPE)
    return()
  endif()
  set(numbers "")
  set(matched "${CMAKE_MATCH_1};${CMAKE_MATCH_2};${CMAKE_MATCH_3};${CMAKE_MATCH_4}")
  foreach(number IN LISTS matched)
    string(REGEX REPLACE "^0+([0-9])" "\\1" number "${number}")
    string(LENGTH "${number}" digits)
    if(digits GREATER 5 OR number GREATER 65535)
      list(APPEND release_problems "${name} \"${text}\": ${number} is above 65535")
      set(release_problems "${release_problems}" PARENT_SCOPE)
      return()
    endif()
    list(APPEND numbers ${number})
  endforeach()
  string(REPLACE ";" "," fixed "${numbers}")
  string(REPLACE ";" ", " shown "${numbers}")
  set(${out_fixed} "${fixed}" PARENT_SCOPE)
  set(${out_text} "${shown}" PARENT_SCOPE)
endfunction()

set(release_problems "")
release_payload_time(PERNA_TIME "${PERNA_TIME}" UPDATER_PERNA_SYSTEMTIME)
release_payload_time(KALENDO_TIME "${KALENDO_TIME}" UPDATER_KALENDO_SYSTEMTIME)
# On its own, a version not given is the build's default, which it does not know.
foreach(which FILE PRODUCT)
  if(DEFINED UPDATER_${which}_VERSION OR NOT CMAKE_SCRIPT_MODE_FILE)
    release_version(UPDATER_${which}_VERSION "${UPDATER_${which}_VERSION}" UPDATER_${which}_VERSION_FIXED
                    UPDATER_${which}_VERSION_TEXT)
  endif()
endforeach()
# A payload file given must hold something: an empty PERNA.EXE would also make the accepted size 0,
# which ends the guard's table.
foreach(payload PERNA_PAYLOAD KALENDO_PAYLOAD)
  if(NOT ${payload})
    continue()
  elseif(NOT EXISTS "${${payload}}" OR IS_DIRECTORY "${${payload}}")
    list(APPEND release_problems "${payload}: no such file: ${${payload}}")
  else()
    file(SIZE "${${payload}}" length)
    if(length EQUAL 0)
      list(APPEND release_problems "${payload}: ${${payload}} is empty")
    endif()
  endif()
endforeach()

if(release_problems)
  foreach(problem IN LISTS release_problems)
    message(NOTICE "${problem}")
  endforeach()
  message(FATAL_ERROR "the release inputs above are refused")
endif()
