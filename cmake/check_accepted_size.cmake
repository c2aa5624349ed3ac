# cmake -DSOURCE=PERNA.EXE -DACCEPTED="610361" -P check_accepted_size.cmake
# Stops the build when the tool payload would be refused by the updater's own size check: an installed
# copy of the same build must be of an accepted size, give or take one byte, or every run is refused.
file(SIZE "${SOURCE}" length)
foreach(size IN LISTS ACCEPTED)
  math(EXPR low "${size} - 1")
  math(EXPR high "${size} + 1")
  if(length GREATER_EQUAL low AND length LESS_EQUAL high)
    return()
  endif()
endforeach()
string(REPLACE ";" ", " accepted_text "${ACCEPTED}")
message(FATAL_ERROR
  "${SOURCE} is ${length} bytes, but the updater accepts an installed PERNA.EXE only of ${accepted_text} bytes "
  "(give or take one): built this way, it would refuse every installation. Give the matching PERNA.EXE "
  "(-DPERNA_PAYLOAD=...) or change UPDATER_ACCEPTED_SIZES in CMakeLists.txt together with it.")
