# The Windows builds: the product executable and the Windows-side tools.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

add_executable(setup WIN32 ${PRODUCT_SOURCES} ${RESOURCE_SCRIPT})
target_include_directories(setup PRIVATE ${PRODUCT_INCLUDE_DIRS})
target_compile_definitions(setup PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
target_compile_options(setup PRIVATE ${WARNING_FLAGS} -fno-exceptions -fno-rtti)
target_link_options(setup PRIVATE -municode -mwindows -static -static-libgcc -static-libstdc++ -s)

# Static imports: known DLLs only (kernel32 and msvcrt come with the toolchain).
foreach(dll ${PRODUCT_STATIC_DLLS})
  get_filename_component(base ${dll} NAME_WE)
  if(NOT base MATCHES "^(kernel32|msvcrt)$")
    target_link_libraries(setup PRIVATE ${base})
  endif()
endforeach()
# Delay-loaded imports, from delay-load libraries made of mingw-w64's import
# libraries.
foreach(dll ${PRODUCT_DELAY_DLLS})
  get_filename_component(base ${dll} NAME_WE)
  find_file(IMPORT_LIBRARY_${base} lib${base}.a PATHS ${CMAKE_FIND_ROOT_PATH}/lib NO_DEFAULT_PATH REQUIRED)
  set(delaylib ${CMAKE_BINARY_DIR}/delay/lib${base}-delay.a)
  add_custom_command(OUTPUT ${delaylib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay
    COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/delaylib.sh ${TOOLCHAIN_PREFIX} ${IMPORT_LIBRARY_${base}} ${dll} ${delaylib}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/delaylib.sh ${IMPORT_LIBRARY_${base}}
    COMMENT "Making the delay-load library of ${dll}")
  add_custom_target(delay_${base} DEPENDS ${delaylib})
  add_dependencies(setup delay_${base})
  target_link_libraries(setup PRIVATE ${delaylib})
endforeach()
set_source_files_properties(${RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS "${RESOURCE_INPUTS}")

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()
include(cmake/package.cmake)
