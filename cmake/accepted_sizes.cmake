# cmake -DTOOL=PERNA.EXE -DSIZES=sizes.txt -DTEMPLATE=accepted_sizes.h.in -DOUT=accepted_sizes.h -P accepted_sizes.cmake
# Writes the guard's accepted-size entries: the sizes in SIZES (comma-separated, checked when configuring), or,
# when it is empty, the length of the PERNA.EXE the updater carries.
file(READ "${SIZES}" accepted_size_entries)
string(STRIP "${accepted_size_entries}" accepted_size_entries)
if(accepted_size_entries STREQUAL "")
  file(SIZE "${TOOL}" accepted_size_entries)
endif()
# Written only when it changes, so that an unchanged payload rebuilds nothing.
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
