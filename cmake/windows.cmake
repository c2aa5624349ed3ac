# How the Windows executables are compiled and linked: GUI subsystem, no runtime DLL beyond msvcrt,
# stripped, small, and reproducible (no link timestamp, no build paths).

# updater_windows_compile(TARGET...): size and reproducibility options for code that ends up in the exe.
function(updater_windows_compile)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE
      -Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables
      -D__USE_MINGW_ANSI_STDIO=0
      $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
      -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
      -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
  endforeach()
endfunction()

# updater_windows_executable(TARGET): links it as a stripped GUI program with the runtime linked in.
function(updater_windows_executable target)
  updater_windows_compile(${target})
  target_link_options(${target} PRIVATE
    -mwindows -static -static-libgcc -static-libstdc++ -s
    -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,--build-id=none
    # Never looks for a manifest beside the image: one there could redirect DLL loads past the narrowed
    # search (IMAGE_DLLCHARACTERISTICS_NO_ISOLATION).
    -Wl,--no-isolation)
endfunction()
