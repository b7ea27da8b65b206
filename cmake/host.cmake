# The host build: product sources against the simulated Windows, with the tests.
enable_testing()
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

# The package files as sim::files::LayOutInstallFolder writes them: the INF
# is sim::inf::PrinterInfText(), amd64\crvnpnp.exe and arm64\crvnpnp.exe the
# simulation's x64 and ARM64 program images, every other file (the catalog
# crvnv6.cat too) holds its own name.
set(SIM_PACKAGE_DIR ${CMAKE_BINARY_DIR}/sim-package)
file(WRITE ${SIM_PACKAGE_DIR}/crvnv6.inf
     "; Stand-in for the printer maker's INF\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n"
     "ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\nProvider=%Corvane%\r\n"
     "DriverVer=${DRIVER_VER_TEXT}\r\nCatalogFile=crvnv6.cat\r\n\r\n[Strings]\r\nCorvane=\"Corvane\"\r\n")
set(SIM_HASH_ENTRIES "crvnv6.inf=${SIM_PACKAGE_DIR}/crvnv6.inf|")
set(SIM_PACKAGE_FILES crvnv6.cat dat/crvndrv6.dat)
foreach(arch i386 arm amd64 arm64)
  foreach(name crvndrv6.dll crvndrv6ui.dll crvnmon.dll)
    list(APPEND SIM_PACKAGE_FILES ${arch}/${name})
  endforeach()
endforeach()
foreach(rel ${SIM_PACKAGE_FILES})
  string(REPLACE "/" "\\" content "${rel}")
  file(WRITE ${SIM_PACKAGE_DIR}/${rel} "${content}")
  string(APPEND SIM_HASH_ENTRIES "${rel}=${SIM_PACKAGE_DIR}/${rel}|")
endforeach()
file(WRITE ${SIM_PACKAGE_DIR}/amd64/crvnpnp.exe "x64 program image")
string(APPEND SIM_HASH_ENTRIES "amd64/crvnpnp.exe=${SIM_PACKAGE_DIR}/amd64/crvnpnp.exe|")
file(WRITE ${SIM_PACKAGE_DIR}/arm64/crvnpnp.exe "arm64 program image")
string(APPEND SIM_HASH_ENTRIES "arm64/crvnpnp.exe=${SIM_PACKAGE_DIR}/arm64/crvnpnp.exe")
execute_process(COMMAND ${CMAKE_COMMAND} -DOUT=${PACKAGE_HASHES_SOURCE} "-DENTRIES=${SIM_HASH_ENTRIES}"
                        -P ${CMAKE_SOURCE_DIR}/cmake/package_hashes.cmake COMMAND_ERROR_IS_FATAL ANY)

set(SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
# The simulation and the product at -O1, as the sanitizers' guides advise: the
# fault sweep replays whole runs hundreds of times, and unoptimised the
# simulation's path handling is most of its time. Reports keep their stacks
# (frame pointers, -g). The tests stay unoptimised: GCC 12 at -O1 warns falsely
# inside <regex>.
set(HOST_OPTIMIZE_FLAGS -O1)

# The resource script is compiled by windres here too; the simulation reads the .res file.
find_program(HOST_WINDRES NAMES x86_64-w64-mingw32-windres i686-w64-mingw32-windres REQUIRED)
set(HOST_RES ${CMAKE_BINARY_DIR}/resource.res)
add_custom_command(OUTPUT ${HOST_RES}
  COMMAND ${HOST_WINDRES} -c 65001 -I ${CMAKE_SOURCE_DIR} -I ${CMAKE_SOURCE_DIR}/app -I ${GENERATED_DIR} -O res -i ${RESOURCE_SCRIPT}
          -o ${HOST_RES}
  DEPENDS ${RESOURCE_INPUTS} ${GENERATED_DIR}/product_version.h
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/app
  COMMENT "Compiling resources for the simulation")
add_custom_target(host_resources DEPENDS ${HOST_RES})

file(GLOB SIMWIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/simwin/*.cpp)
add_library(simwin STATIC ${SIMWIN_SOURCES})
target_include_directories(simwin PUBLIC ${CMAKE_SOURCE_DIR}/simwin/include ${CMAKE_SOURCE_DIR}/simwin)
target_compile_options(simwin PRIVATE ${WARNING_FLAGS})
target_compile_options(simwin PUBLIC ${SANITIZER_FLAGS})
target_compile_options(simwin PRIVATE ${HOST_OPTIMIZE_FLAGS})
target_link_options(simwin PUBLIC ${SANITIZER_FLAGS})
target_compile_definitions(simwin PRIVATE SIMWIN_RESOURCE_FILE="${HOST_RES}")
# The package's INF carries the build's DriverVer, as the real one does.
target_compile_definitions(simwin PRIVATE SIMWIN_PACKAGE_DRIVER_VER="${DRIVER_VER_TEXT}")
# The simulated loader maps the static imports at process start, and holds a
# program to calling the functions of the DLLs it loads at run time only once
# it has looked them up: the same lists the product links with.
list(JOIN PRODUCT_STATIC_DLLS "," SIMWIN_STATIC_DLL_LIST)
list(JOIN PRODUCT_RUNTIME_DLLS "," SIMWIN_RUNTIME_DLL_LIST)
target_compile_definitions(simwin PRIVATE SIMWIN_STATIC_DLLS="${SIMWIN_STATIC_DLL_LIST}"
                                          SIMWIN_RUNTIME_DLLS="${SIMWIN_RUNTIME_DLL_LIST}")
target_link_libraries(simwin PUBLIC Threads::Threads)
add_dependencies(simwin host_resources)

add_library(product OBJECT ${PRODUCT_SOURCES})
target_include_directories(product PUBLIC ${PRODUCT_INCLUDE_DIRS})
target_compile_definitions(product PUBLIC UNICODE _UNICODE)
target_compile_options(product PRIVATE ${WARNING_FLAGS} ${HOST_OPTIMIZE_FLAGS})
target_link_libraries(product PUBLIC simwin)

file(GLOB TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp)
add_executable(host_tests ${TEST_SOURCES})
target_compile_options(host_tests PRIVATE ${WARNING_FLAGS})
target_compile_definitions(host_tests PRIVATE TESTS_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/data")
target_link_libraries(host_tests PRIVATE product simwin GTest::gtest GTest::gtest_main)
# The product's writable globals in one region, which the simulated kernel
# copies per process (simwin/process_globals.ld).
set(PROCESS_GLOBALS_SCRIPT ${CMAKE_SOURCE_DIR}/simwin/process_globals.ld)
target_link_options(host_tests PRIVATE "LINKER:-T,${PROCESS_GLOBALS_SCRIPT}")
set_property(TARGET host_tests APPEND PROPERTY LINK_DEPENDS ${PROCESS_GLOBALS_SCRIPT})
include(GoogleTest)
# Every test has a time limit: the simulation ends a loop that never waits
# (its step bound), but a loop that calls nothing would hang the suite. The
# longest, a run of the fault sweep, takes under 20 s on one free core.
gtest_discover_tests(host_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS host TIMEOUT 300)

# PowerShell is not on the build machines: the detection scripts are checked
# by tools/detection/check-scripts.py, which also shows that it catches the
# faults it seeds in them.
find_program(HOST_PYTHON NAMES python3 REQUIRED)
list(TRANSFORM DETECTION_SCRIPTS PREPEND ${DETECTION_DIR}/ OUTPUT_VARIABLE DETECTION_SCRIPT_PATHS)
add_test(NAME detection_scripts COMMAND ${HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tools/detection/check-scripts.py
         ${DETECTION_SCRIPT_PATHS})
add_test(NAME detection_scripts_seeded_faults
         COMMAND ${HOST_PYTHON} ${CMAKE_SOURCE_DIR}/tools/detection/check-scripts.py --seeded ${DETECTION_SCRIPT_PATHS})
set_tests_properties(detection_scripts detection_scripts_seeded_faults PROPERTIES LABELS host)

# The differential probe, against the simulation (tests/differential/run.sh
# compares its lines with those of the same source run under wine64).
add_executable(simwin_probe ${CMAKE_SOURCE_DIR}/tests/differential/probe.cpp)
target_compile_options(simwin_probe PRIVATE ${WARNING_FLAGS})
target_compile_definitions(simwin_probe PRIVATE UNICODE _UNICODE)
target_link_libraries(simwin_probe PRIVATE simwin)
