# cmake -DCONTAINER=BIN1.bin -DACCEPTED="610361" -DSOURCE=PERNA.EXE -P check_accepted_size.cmake
# Stops the build when the tool payload would be refused by the updater's own size check: the length
# the container declares (offset 138, 4 bytes little-endian) must be an accepted size, give or take one.
file(READ "${CONTAINER}" header OFFSET 138 LIMIT 4 HEX)
string(LENGTH "${header}" digits)
if(NOT digits EQUAL 8)
  file(REMOVE "${CONTAINER}")
  message(FATAL_ERROR "${CONTAINER}: too short to be a payload container")
endif()
# Little-endian bytes to a number.
set(length 0)
foreach(i 6 4 2 0)
  string(SUBSTRING "${header}" ${i} 2 byte)
  math(EXPR length "(${length} << 8) + 0x${byte}")
endforeach()
foreach(size IN LISTS ACCEPTED)
  math(EXPR low "${size} - 1")
  math(EXPR high "${size} + 1")
  if(length GREATER_EQUAL low AND length LESS_EQUAL high)
    return()
  endif()
endforeach()
file(REMOVE "${CONTAINER}")
message(FATAL_ERROR
  "${SOURCE} is ${length} bytes, but the updater accepts an installed PERNA.EXE only of ${ACCEPTED} bytes "
  "(give or take one): built this way, it would refuse every installation. Give the matching PERNA.EXE "
  "(-DPERNA_PAYLOAD=...) or change AcceptedSizeTable in src/install together with it.")
