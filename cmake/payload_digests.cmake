# cmake -DTOOL=PERNA.EXE -DDAYOFF=KALENDO.INI -DOUT=payload_digests.h -P payload_digests.cmake
# Writes the SHA-256 of each payload file, the bytes its container expands to, as C arrays: the updater
# checks what it expanded against them before it installs anything.
function(digest_array file name out_text)
  file(SHA256 "${file}" hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out_text} "const unsigned char ${name}[32] = {${bytes}};\n" PARENT_SCOPE)
endfunction()

digest_array("${TOOL}" ToolPayloadDigest tool_text)
digest_array("${DAYOFF}" DayOffPayloadDigest dayoff_text)
set(text "// SHA-256 of the bytes each payload expands to, made by the build from the payload files.\n#pragma once\n\n")
string(APPEND text "${tool_text}" "${dayoff_text}")
# Written only when it changes, so that an unchanged payload rebuilds nothing.
file(CONFIGURE OUTPUT "${OUT}" CONTENT "${text}" @ONLY)
