# What the ARM64 build (cmake/toolchain-aarch64-windows-zig.cmake) does
# differently from the mingw-w64 builds; the product's sources and flags are
# the same. Zig 0.11 ignores -municode: a WinMain of the build's own calls
# wWinMain. It has no resource compiler, but its linker takes a .res file.
target_sources(setup PRIVATE ${CMAKE_SOURCE_DIR}/cmake/zig_winmain.cpp)
target_link_options(setup PRIVATE -Wl,--subsystem,windows -s)
set(CMAKE_RC_COMPILE_OBJECT "<CMAKE_RC_COMPILER> -O res <DEFINES> <INCLUDES> <FLAGS> <SOURCE> <OBJECT>")
