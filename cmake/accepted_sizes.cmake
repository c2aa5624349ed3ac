# cmake -DTOOL=PERNA.EXE -DTEMPLATE=accepted_sizes.h.in -DOUT=accepted_sizes.h -P accepted_sizes.cmake
# Writes the guard's accepted-size entries: the length of the PERNA.EXE the updater carries.
file(SIZE "${TOOL}" accepted_size_entries)
# Written only when it changes, so that an unchanged payload rebuilds nothing.
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
