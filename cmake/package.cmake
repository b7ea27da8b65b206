# The install folder, laid out in the build directory as it ships:
#   package/setup.exe, package/unins000.exe (the same program), crvnv6.inf,
#   i386, amd64, arm, arm64 with crvndrv6.dll, crvndrv6ui.dll, crvnmon.dll,
#   dat/crvndrv6.dat, README.txt; in the 32-bit package also
#   amd64/crvnpnp.exe and arm64/crvnpnp.exe, the x64 and ARM64 builds of the
#   program
# and the release artifact, a zip of that folder.
#
# The INF is generated at build time by tools/package/geninf, a small program
# built for the build machine from the installer's own catalogue table and
# checksum code, so that the INF and the program can never disagree.
# The driver files are stand-ins (see tools/package/README.txt): small DLLs
# for i386 and amd64 (the configuration DLL with the printer interface entry
# points a spooler calls when a queue is added), text placeholders for arm,
# arm64 and the data file.

if(NOT EXISTS ${CMAKE_SOURCE_DIR}/install/catalog_table.cpp OR NOT EXISTS ${CMAKE_SOURCE_DIR}/install/id_checksum.cpp)
  message(STATUS "Package: waiting for install/catalog_table.cpp and install/id_checksum.cpp")
  return()
endif()

set(PKG_SRC ${CMAKE_SOURCE_DIR}/tools/package)
set(PKG_WORK ${CMAKE_BINARY_DIR}/package-work)
set(PKG_DIR ${CMAKE_BINARY_DIR}/package)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PKG_ARCH x64)
else()
  set(PKG_ARCH x86)
endif()
set(PKG_ZIP ${CMAKE_BINARY_DIR}/corvane-setup-${PROJECT_VERSION}-${PKG_ARCH}.zip)
set(STANDIN_FILES crvndrv6.dll crvndrv6ui.dll crvnmon.dll)

# --- the INF, from the catalogue ------------------------------------------------
find_program(HOST_CXX NAMES g++ c++ clang++ REQUIRED)
set(GENINF_SOURCES ${PKG_SRC}/geninf.cpp
    ${CMAKE_SOURCE_DIR}/install/catalog_table.cpp ${CMAKE_SOURCE_DIR}/install/id_checksum.cpp)
set(GENINF ${PKG_WORK}/geninf)
add_custom_command(OUTPUT ${GENINF}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PKG_WORK}
  COMMAND ${HOST_CXX} -std=c++17 -O1 -Wall -Wextra -Werror -DUNICODE -D_UNICODE
          -I${CMAKE_SOURCE_DIR} -I${CMAKE_SOURCE_DIR}/simwin/include ${GENINF_SOURCES} -o ${GENINF}
  DEPENDS ${GENINF_SOURCES} ${CMAKE_SOURCE_DIR}/install/catalog.h ${CMAKE_SOURCE_DIR}/install/discovery.h
  COMMENT "Building the INF generator for the build machine")
add_custom_command(OUTPUT ${PKG_WORK}/crvnv6.inf
  COMMAND ${GENINF} ${PKG_WORK}/crvnv6.inf
  DEPENDS ${GENINF}
  COMMENT "Generating crvnv6.inf from the model catalogue")

# --- stand-in driver DLLs for the two architectures mingw builds -------------
set(STANDIN_OUTPUTS)
foreach(arch i386 amd64)
  if(arch STREQUAL i386)
    set(triple i686-w64-mingw32)
  else()
    set(triple x86_64-w64-mingw32)
  endif()
  find_program(STANDIN_CC_${arch} NAMES ${triple}-gcc REQUIRED)
  find_program(STANDIN_RC_${arch} NAMES ${triple}-windres REQUIRED)
  foreach(name ${STANDIN_FILES})
    set(STANDIN_NAME ${name})
    configure_file(${PKG_SRC}/standin.rc.in ${PKG_WORK}/${name}.rc @ONLY)
    set(out ${PKG_WORK}/${arch}/${name})
    # The configuration DLL answers the printer interface calls a spooler makes.
    if(name STREQUAL crvndrv6ui.dll)
      set(stub ${PKG_SRC}/standin_ui.c)
    else()
      set(stub ${PKG_SRC}/standin.c)
    endif()
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PKG_WORK}/${arch}
      COMMAND ${STANDIN_RC_${arch}} -i ${PKG_WORK}/${name}.rc -o ${PKG_WORK}/${arch}/${name}.res.o
      COMMAND ${STANDIN_CC_${arch}} -shared -Os -s -Wall -Wextra -Werror -Wl,--kill-at -o ${out}
              ${stub} ${PKG_WORK}/${arch}/${name}.res.o
      DEPENDS ${stub} ${PKG_WORK}/${name}.rc
      COMMENT "Building the ${arch} stand-in ${name}")
    list(APPEND STANDIN_OUTPUTS ${out})
  endforeach()
endforeach()

# --- text placeholders for the rest --------------------------------------------
set(PLACEHOLDERS)
foreach(arch arm arm64)
  foreach(name ${STANDIN_FILES})
    set(STANDIN_NAME ${name})
    set(STANDIN_ARCH ${arch})
    configure_file(${PKG_SRC}/placeholder.txt.in ${PKG_WORK}/${arch}/${name} @ONLY NEWLINE_STYLE CRLF)
    list(APPEND PLACEHOLDERS ${arch}/${name})
  endforeach()
endforeach()
set(STANDIN_NAME crvndrv6.dat)
set(STANDIN_ARCH "every architecture")
configure_file(${PKG_SRC}/placeholder.txt.in ${PKG_WORK}/dat/crvndrv6.dat @ONLY NEWLINE_STYLE CRLF)
list(APPEND PLACEHOLDERS dat/crvndrv6.dat)

# --- the 64-bit build, in the 32-bit package -------------------------------------
# On x64 Windows the 32-bit program runs it for the one device installation
# call that WOW64 refuses (install/pnp_handover.h, PNP_NATIVE_BUILD_PATH). It
# is the same sources built with the x86_64 toolchain, in a build folder of
# its own inside this one; it is built again whenever this build runs, which
# costs nothing when nothing changed.
set(PKG_NATIVE_COPY)
set(PKG_NATIVE_DEPENDS)
if(PKG_ARCH STREQUAL x86)
  include(ExternalProject)
  set(NATIVE_BUILD_DIR ${CMAKE_BINARY_DIR}/native-x64)
  ExternalProject_Add(native_x64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${NATIVE_BUILD_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-x86_64-w64-mingw32.cmake
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target setup -j 1
    BUILD_BYPRODUCTS ${NATIVE_BUILD_DIR}/setup.exe
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  set(PKG_NATIVE_COPY COMMAND ${CMAKE_COMMAND} -E copy ${NATIVE_BUILD_DIR}/setup.exe ${PKG_DIR}/amd64/crvnpnp.exe)
  set(PKG_NATIVE_DEPENDS native_x64 ${NATIVE_BUILD_DIR}/setup.exe)
endif()

# --- the ARM64 build, in the 32-bit package -------------------------------------
# On ARM64 Windows the 32-bit program runs it for the same call. The same
# sources built with Zig 0.11 (clang with MinGW-w64 for ARM64 Windows), which
# tools/ensure-zig.sh installs into the machine's cache; CORVANE_ZIG names
# another zig 0.11.0. Like the 64-bit build, an external project built
# whenever this build runs.
set(PKG_ARM64_COPY)
set(PKG_ARM64_DEPENDS)
if(PKG_ARCH STREQUAL x86)
  if(DEFINED ENV{CORVANE_CACHE})
    set(ZIG_CACHE_DIR $ENV{CORVANE_CACHE})
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(ZIG_CACHE_DIR $ENV{XDG_CACHE_HOME}/corvane-setup)
  else()
    set(ZIG_CACHE_DIR $ENV{HOME}/.cache/corvane-setup)
  endif()
  find_program(CORVANE_ZIG NAMES zig HINTS ${ZIG_CACHE_DIR}/zig-linux-x64-0.11.0 NO_DEFAULT_PATH)
  if(CORVANE_ZIG)
    execute_process(COMMAND ${CORVANE_ZIG} version OUTPUT_VARIABLE ZIG_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(NOT ZIG_VERSION STREQUAL "0.11.0")
    message(FATAL_ERROR "The package's ARM64 build needs Zig 0.11.0: run tools/ensure-zig.sh (or set CORVANE_ZIG)")
  endif()
  # A link builds Zig's runtime for its optimization mode and stripping (a
  # few minutes each), CMake's checks of the compiler too: every link here
  # optimizes for size and strips, as the product's does, and so finds the
  # runtime that tools/ensure-zig.sh built into the cache.
  set(ZIG_WRAPPERS ${CMAKE_BINARY_DIR}/zig-aarch64-windows)
  foreach(driver cc c++)
    file(CONFIGURE OUTPUT ${ZIG_WRAPPERS}/${driver} @ONLY
         CONTENT "#!/bin/sh\ncase \" $* \" in *\" -c \"*) link= ;; *) link=-s ;; esac\nexec \"@CORVANE_ZIG@\" @driver@ -target aarch64-windows-gnu -Os $link \"$@\"\n")
    file(CHMOD ${ZIG_WRAPPERS}/${driver} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(ARM64_BUILD_DIR ${CMAKE_BINARY_DIR}/native-arm64)
  ExternalProject_Add(native_arm64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${ARM64_BUILD_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-aarch64-windows-zig.cmake
               -DZIG_WRAPPERS=${ZIG_WRAPPERS} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target setup -j 1
    BUILD_BYPRODUCTS ${ARM64_BUILD_DIR}/setup.exe
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  set(PKG_ARM64_COPY COMMAND ${CMAKE_COMMAND} -E copy ${ARM64_BUILD_DIR}/setup.exe ${PKG_DIR}/arm64/crvnpnp.exe)
  set(PKG_ARM64_DEPENDS native_arm64 ${ARM64_BUILD_DIR}/setup.exe)
endif()

# --- the hashes the program carries of the files it installs or starts ---------
# Made from the files as they go into the package, before the program links.
set(HASH_ENTRIES "crvnv6.inf=${PKG_WORK}/crvnv6.inf")
foreach(arch i386 amd64)
  foreach(name ${STANDIN_FILES})
    string(APPEND HASH_ENTRIES "|${arch}/${name}=${PKG_WORK}/${arch}/${name}")
  endforeach()
endforeach()
foreach(rel ${PLACEHOLDERS})
  string(APPEND HASH_ENTRIES "|${rel}=${PKG_WORK}/${rel}")
endforeach()
if(PKG_ARCH STREQUAL x86)
  string(APPEND HASH_ENTRIES "|amd64/crvnpnp.exe=${NATIVE_BUILD_DIR}/setup.exe")
endif()
if(PKG_ARM64_DEPENDS)
  string(APPEND HASH_ENTRIES "|arm64/crvnpnp.exe=${ARM64_BUILD_DIR}/setup.exe")
endif()
add_custom_command(OUTPUT ${PACKAGE_HASHES_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DOUT=${PACKAGE_HASHES_SOURCE} "-DENTRIES=${HASH_ENTRIES}"
          -P ${CMAKE_SOURCE_DIR}/cmake/package_hashes.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/package_hashes.cmake ${PKG_WORK}/crvnv6.inf ${STANDIN_OUTPUTS}
          ${PKG_SRC}/placeholder.txt.in ${PKG_NATIVE_DEPENDS} ${PKG_ARM64_DEPENDS}
  COMMENT "Hashing the package files for the program"
  VERBATIM)

# --- the README, with the program's version ---------------------------------------
configure_file(${PKG_SRC}/README.txt ${PKG_WORK}/README.txt @ONLY)

# --- the folder and the zip ----------------------------------------------------
set(PKG_COPY_COMMANDS)
foreach(arch i386 amd64)
  foreach(name ${STANDIN_FILES})
    list(APPEND PKG_COPY_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy ${PKG_WORK}/${arch}/${name} ${PKG_DIR}/${arch}/${name})
  endforeach()
endforeach()
foreach(rel ${PLACEHOLDERS})
  list(APPEND PKG_COPY_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy ${PKG_WORK}/${rel} ${PKG_DIR}/${rel})
endforeach()

add_custom_command(OUTPUT ${PKG_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PKG_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PKG_DIR}/i386 ${PKG_DIR}/amd64 ${PKG_DIR}/arm ${PKG_DIR}/arm64 ${PKG_DIR}/dat
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:setup> ${PKG_DIR}/setup.exe
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:setup> ${PKG_DIR}/unins000.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${PKG_WORK}/crvnv6.inf ${PKG_DIR}/crvnv6.inf
  COMMAND ${CMAKE_COMMAND} -E copy ${PKG_WORK}/README.txt ${PKG_DIR}/README.txt
  ${PKG_COPY_COMMANDS}
  ${PKG_NATIVE_COPY}
  ${PKG_ARM64_COPY}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${PKG_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${PKG_DIR} ${CMAKE_COMMAND} -E tar cf ${PKG_ZIP} --format=zip --mtime=2025-07-16
          setup.exe unins000.exe crvnv6.inf README.txt i386 amd64 arm arm64 dat
  DEPENDS setup $<TARGET_FILE:setup> ${PKG_WORK}/crvnv6.inf ${STANDIN_OUTPUTS} ${PKG_WORK}/README.txt
          ${PKG_SRC}/placeholder.txt.in ${PKG_NATIVE_DEPENDS} ${PKG_ARM64_DEPENDS}
  COMMENT "Laying out the install folder ${PKG_DIR} and ${PKG_ZIP}")
add_custom_target(setup_package ALL DEPENDS ${PKG_ZIP})
