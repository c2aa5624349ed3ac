# How the Windows executables are compiled and linked: GUI subsystem, no runtime DLLs beyond msvcrt,
# stripped, and reproducible (no link timestamp, no build paths).
#
# updater_windows_executable(TARGET) applies it to one target.
function(updater_windows_executable target)
  target_compile_options(${target} PRIVATE
    -Os -ffunction-sections -fdata-sections
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
    -fno-asynchronous-unwind-tables
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
  target_link_options(${target} PRIVATE
    -mwindows -static -static-libgcc -static-libstdc++ -s
    -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,--build-id=none)
endfunction()
