# The Windows builds: the product executable and the Windows-side tools.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

add_executable(setup WIN32 ${PRODUCT_SOURCES} ${RESOURCE_SCRIPT})
target_include_directories(setup PRIVATE ${PRODUCT_INCLUDE_DIRS})
target_compile_definitions(setup PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
target_compile_options(setup PRIVATE ${WARNING_FLAGS} -fno-exceptions -fno-rtti)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL ARM64)
  include(cmake/zig-arm64.cmake)
else()
  target_link_options(setup PRIVATE -municode -mwindows -static -static-libgcc -static-libstdc++ -s)
endif()

# Static imports: known DLLs only (kernel32 and msvcrt come with the toolchain).
foreach(dll ${PRODUCT_STATIC_DLLS})
  get_filename_component(base ${dll} NAME_WE)
  if(NOT base MATCHES "^(kernel32|msvcrt)$")
    target_link_libraries(setup PRIVATE ${base})
  endif()
endforeach()
# PRODUCT_RUNTIME_DLLS are linked with no import library: the program reaches
# them only through the tables that start-up fills.
set_source_files_properties(${RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS
                            "${RESOURCE_INPUTS};${GENERATED_DIR}/product_version.h")

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()
include(cmake/package.cmake)
