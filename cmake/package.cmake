# The install folder, laid out in the build directory as it ships:
#   package/setup.exe, package/unins000.exe (the same program), crvnv6.inf,
#   crvnv6.cat, i386, amd64, arm, arm64 with crvndrv6.dll, crvndrv6ui.dll,
#   crvnmon.dll, dat/crvndrv6.dat, README.txt, detection/installed.ps1 and
#   detection/staged.ps1 (configured in CMakeLists.txt); in the 32-bit package also
#   amd64/crvnpnp.exe and arm64/crvnpnp.exe, the x64 and ARM64 builds of the
#   program
# and a zip of that folder.
#
# The driver package (the INF, its catalog and the driver files) is one of two:
# - the printer maker's signed package, named by -DCORVANE_DRIVER_PACKAGE=DIR:
#   taken unchanged, once tools/package/check-driver-package.py has checked
#   it against the program's catalogue (a release);
# - otherwise the test package: the INF generated at build time by
#   tools/package/geninf, a small program built for the build machine from the
#   installer's own catalogue table and checksum code, so that the INF and the
#   program can never disagree; stand-in driver files (see
#   tools/package/README.txt): small DLLs for i386 and amd64 (the configuration
#   DLL with the printer interface entry points a spooler calls when a queue
#   is added), text placeholders for arm, arm64 and the data file; and an
#   unsigned stand-in catalog. Windows will not stage it.
# The executables are signed when the build is given a certificate
# (cmake/signing.cmake).

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
set(STANDIN_FILES crvndrv6.dll crvndrv6ui.dll crvnmon.dll)
set(CORVANE_DRIVER_PACKAGE "" CACHE PATH "The printer maker's signed driver package: crvnv6.inf, its catalog and the driver files")
set(CORVANE_DRIVER_PACKAGE_CA "" CACHE FILEPATH "Certificates (PEM) the driver package's catalog must chain to (optional)")

# --- the INF, from the catalogue ------------------------------------------------
find_program(HOST_CXX NAMES g++ c++ clang++ REQUIRED)
set(GENINF_SOURCES ${PKG_SRC}/geninf.cpp
    ${CMAKE_SOURCE_DIR}/install/catalog_table.cpp ${CMAKE_SOURCE_DIR}/install/id_checksum.cpp)
set(GENINF ${PKG_WORK}/geninf)
add_custom_command(OUTPUT ${GENINF}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PKG_WORK}
  COMMAND ${HOST_CXX} -std=c++17 -O1 -Wall -Wextra -Werror -DUNICODE -D_UNICODE
          -I${CMAKE_SOURCE_DIR} -I${GENERATED_DIR} -I${CMAKE_SOURCE_DIR}/simwin/include ${GENINF_SOURCES} -o ${GENINF}
  DEPENDS ${GENINF_SOURCES} ${CMAKE_SOURCE_DIR}/install/catalog.h ${CMAKE_SOURCE_DIR}/install/discovery.h
          ${GENERATED_DIR}/product_version.h
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
if(PKG_ARCH STREQUAL x86)
  include(ExternalProject)
  set(NATIVE_BUILD_DIR ${CMAKE_BINARY_DIR}/native-x64)
  ExternalProject_Add(native_x64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${NATIVE_BUILD_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-x86_64-w64-mingw32.cmake
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
               -DCORVANE_DRIVER_DATE=${CORVANE_DRIVER_DATE}
               -DCORVANE_DRIVER_VERSION=${CORVANE_DRIVER_VERSION}
               -DCORVANE_SIGNING_PFX=${CORVANE_SIGNING_PFX}
               -DCORVANE_SIGNING_PASSWORD_FILE=${CORVANE_SIGNING_PASSWORD_FILE}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target setup -j 1
    BUILD_BYPRODUCTS ${NATIVE_BUILD_DIR}/setup.exe
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
endif()

# --- the ARM64 build, in the 32-bit package -------------------------------------
# On ARM64 Windows the 32-bit program runs it for the same call. The same
# sources built with Zig 0.11 (clang with MinGW-w64 for ARM64 Windows), which
# tools/ensure-zig.sh installs into the machine's cache; CORVANE_ZIG names
# another zig 0.11.0. Like the 64-bit build, an external project built
# whenever this build runs.
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
endif()

# --- the driver package, checked and taken ----------------------------------------
# The files the program installs itself, on the manual road, under these names.
set(PROGRAM_PACKAGE_FILES dat/crvndrv6.dat)
foreach(arch i386 amd64 arm arm64)
  foreach(name ${STANDIN_FILES})
    list(APPEND PROGRAM_PACKAGE_FILES ${arch}/${name})
  endforeach()
endforeach()
set(DRIVER_PACKAGE_DIR ${CMAKE_BINARY_DIR}/driver-package)
set(DRIVER_PACKAGE_LIST ${CMAKE_BINARY_DIR}/driver-package.list)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(CORVANE_DRIVER_PACKAGE)
  get_filename_component(DRIVER_PACKAGE_SOURCE ${CORVANE_DRIVER_PACKAGE} ABSOLUTE)
  if(NOT IS_DIRECTORY ${DRIVER_PACKAGE_SOURCE})
    message(FATAL_ERROR "Driver package ${DRIVER_PACKAGE_SOURCE}: no such folder")
  endif()
  file(GLOB_RECURSE DRIVER_PACKAGE_INPUTS CONFIGURE_DEPENDS ${DRIVER_PACKAGE_SOURCE}/*)
  set(DRIVER_PACKAGE_OPTIONS)
  if(CORVANE_DRIVER_PACKAGE_CA)
    set(DRIVER_PACKAGE_OPTIONS --ca ${CORVANE_DRIVER_PACKAGE_CA})
  endif()
  set(PKG_KIND release)
  message(STATUS "Package: the printer maker's driver package ${DRIVER_PACKAGE_SOURCE}")
else()
  # The test package: the generated INF, the stand-ins, and a stand-in catalog
  # of their hashes that nobody signed.
  set(DRIVER_PACKAGE_SOURCE ${PKG_WORK})
  set(CATALOG_MEMBERS crvnv6.inf ${PROGRAM_PACKAGE_FILES})
  add_custom_command(OUTPUT ${PKG_WORK}/crvnv6.cat
    COMMAND ${Python3_EXECUTABLE} ${PKG_SRC}/makecat.py ${PKG_WORK}/crvnv6.cat ${PKG_WORK} ${CATALOG_MEMBERS}
    DEPENDS ${PKG_SRC}/makecat.py ${PKG_WORK}/crvnv6.inf ${STANDIN_OUTPUTS} ${PKG_SRC}/placeholder.txt.in
    COMMENT "Writing the stand-in catalog crvnv6.cat (unsigned)")
  set(DRIVER_PACKAGE_INPUTS ${PKG_WORK}/crvnv6.inf ${PKG_WORK}/crvnv6.cat ${STANDIN_OUTPUTS} ${PKG_SRC}/placeholder.txt.in)
  set(DRIVER_PACKAGE_OPTIONS --test)
  set(PKG_KIND test)
  message(STATUS "Package: a test package (stand-in driver files, unsigned catalog) that Windows will not stage; "
                 "-DCORVANE_DRIVER_PACKAGE=DIR builds from the printer maker's signed package")
endif()
list(JOIN PROGRAM_PACKAGE_FILES "\;" PROGRAM_PACKAGE_FILE_ARGUMENT)
add_custom_command(OUTPUT ${DRIVER_PACKAGE_LIST}
  COMMAND ${Python3_EXECUTABLE} ${PKG_SRC}/check-driver-package.py --package ${DRIVER_PACKAGE_SOURCE}
          --expected-inf ${PKG_WORK}/crvnv6.inf --program-files "${PROGRAM_PACKAGE_FILE_ARGUMENT}"
          --out ${DRIVER_PACKAGE_DIR} --list ${DRIVER_PACKAGE_LIST} ${DRIVER_PACKAGE_OPTIONS}
  DEPENDS ${PKG_SRC}/check-driver-package.py ${PKG_WORK}/crvnv6.inf ${DRIVER_PACKAGE_INPUTS}
  COMMENT "Checking the driver package ${DRIVER_PACKAGE_SOURCE}")
add_custom_target(driver_package DEPENDS ${DRIVER_PACKAGE_LIST})

# --- the package's executables, each signed (cmake/signing.cmake) ------------------
# setup.exe (and unins000.exe, the same file) is signed once it is linked; the
# program's other builds go in as NAME|BUILT FILE|TARGET, signed before the
# hash table is made: a new executable joins this list, and nothing else.
set(PKG_EXECUTABLES)
if(PKG_ARCH STREQUAL x86)
  list(APPEND PKG_EXECUTABLES "amd64/crvnpnp.exe|${NATIVE_BUILD_DIR}/setup.exe|native_x64"
       "arm64/crvnpnp.exe|${ARM64_BUILD_DIR}/setup.exe|native_arm64")
endif()
set(PKG_SIGNED ${PKG_WORK}/signed)
set(PKG_EXECUTABLE_OUTPUTS)
set(PKG_EXECUTABLE_COPY)
set(HASH_ENTRIES "")
foreach(entry ${PKG_EXECUTABLES})
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 built)
  list(GET parts 2 target)
  package_sign(${PKG_SIGNED}/${name} ${built} ${target})
  list(APPEND PKG_EXECUTABLE_OUTPUTS ${PKG_SIGNED}/${name})
  list(APPEND PKG_EXECUTABLE_COPY COMMAND ${CMAKE_COMMAND} -E copy ${PKG_SIGNED}/${name} ${PKG_DIR}/${name})
  string(APPEND HASH_ENTRIES "${name}=${PKG_SIGNED}/${name}|")
endforeach()
package_sign(${PKG_SIGNED}/setup.exe $<TARGET_FILE:setup> setup)

# --- the hashes the program carries of the files it installs or starts ---------
# Made from the files as they go into the package, signed, before the program
# links: the driver package's files (its list) and the executables above.
add_custom_command(OUTPUT ${PACKAGE_HASHES_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DOUT=${PACKAGE_HASHES_SOURCE} "-DENTRIES=${HASH_ENTRIES}"
          -DLIST=${DRIVER_PACKAGE_LIST} -DLIST_DIR=${DRIVER_PACKAGE_DIR}
          -P ${CMAKE_SOURCE_DIR}/cmake/package_hashes.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/package_hashes.cmake ${DRIVER_PACKAGE_LIST} ${PKG_EXECUTABLE_OUTPUTS}
  COMMENT "Hashing the package files for the program"
  VERBATIM)

# --- the README, with the program's version and what package it is -------------
if(PKG_KIND STREQUAL test)
  set(PACKAGE_KIND_TEXT "TEST PACKAGE: Windows will not stage this package. Its driver files are not
the printer maker's driver, and its catalog (crvnv6.cat) is an unsigned
stand-in. In i386 and amd64 the driver files are small empty DLLs whose version
resource reads \"Stand-in for ... (not a printer driver)\"; in arm, arm64 and dat
they are short text placeholders. They let the installer's copy, registration
and removal steps run end to end. Do not replace files in this folder:
setup.exe carries the hash of each, and refuses a package that was changed.
A release is built from the printer maker's signed driver package instead
(CORVANE_DRIVER_PACKAGE, see the project's README, \"The package\").")
else()
  set(PACKAGE_KIND_TEXT "RELEASE: the driver package (crvnv6.inf, crvnv6.cat and the driver files) is
the printer maker's signed package, as the maker made it. setup.exe carries
the hash of each file, and refuses a package that was changed: never replace
a file in this folder, rebuild the release from a new maker's package.")
endif()
if(PKG_ARCH STREQUAL x86)
  set(PACKAGE_SERVES_TEXT "This folder serves every Windows: 32-bit, x64 and ARM64. Deploy it.")
else()
  set(PACKAGE_SERVES_TEXT "TEST ARTIFACT: the 64-bit build's package, which runs on x64 Windows only.
Do not deploy it: the 32-bit package (-x86) serves every Windows.")
endif()
configure_file(${PKG_SRC}/README.txt ${PKG_WORK}/README.txt @ONLY)

# --- the folder and the zip ----------------------------------------------------
# Only the 32-bit package serves every Windows (32-bit, x64, ARM64): it is the
# one to deploy. The 64-bit build's package is a test artifact, named so.
if(PKG_ARCH STREQUAL x86)
  set(PKG_ZIP ${CMAKE_BINARY_DIR}/corvane-setup-${PROJECT_VERSION}-x86.zip)
else()
  set(PKG_ZIP ${CMAKE_BINARY_DIR}/corvane-setup-${PROJECT_VERSION}-x64-test-only.zip)
endif()
add_custom_command(OUTPUT ${PKG_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PKG_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${DRIVER_PACKAGE_DIR} ${PKG_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${PKG_SIGNED}/setup.exe ${PKG_DIR}/setup.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${PKG_SIGNED}/setup.exe ${PKG_DIR}/unins000.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${PKG_WORK}/README.txt ${PKG_DIR}/README.txt
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${DETECTION_DIR} ${PKG_DIR}/detection
  ${PKG_EXECUTABLE_COPY}
  COMMAND ${CMAKE_COMMAND} -DFOLDER=${PKG_DIR} -DZIP=${PKG_ZIP} -P ${CMAKE_SOURCE_DIR}/cmake/package_zip.cmake
  DEPENDS ${PKG_SIGNED}/setup.exe ${DRIVER_PACKAGE_LIST} ${PKG_WORK}/README.txt ${PKG_EXECUTABLE_OUTPUTS}
          ${CMAKE_SOURCE_DIR}/cmake/package_zip.cmake
  COMMENT "Laying out the install folder ${PKG_DIR} and ${PKG_ZIP}")
add_custom_target(setup_package ALL DEPENDS ${PKG_ZIP})
