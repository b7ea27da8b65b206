# Cross-compiling the product for ARM64 Windows with Zig 0.11 (clang with
# MinGW-w64's headers and runtime for ARM64 Windows): the package's
# arm64\crvnpnp.exe, built by cmake/package.cmake as an external project.
# ZIG_WRAPPERS names a folder with `cc` and `c++`, scripts that run
# `zig cc` and `zig c++` for the target (cmake/package.cmake writes them).
# Resources are compiled by mingw-w64's windres into a .res file, which
# Zig's linker takes (cmake/zig-arm64.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_WRAPPERS)
set(CMAKE_C_COMPILER ${ZIG_WRAPPERS}/cc)
set(CMAKE_CXX_COMPILER ${ZIG_WRAPPERS}/c++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
