# Zips the laid-out install folder, every file in it, with one fixed time:
#   cmake -DFOLDER=DIR -DZIP=FILE -P package_zip.cmake
file(GLOB_RECURSE files RELATIVE ${FOLDER} ${FOLDER}/*)
list(SORT files)
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip --mtime=2025-07-16 -- ${files}
                WORKING_DIRECTORY ${FOLDER} COMMAND_ERROR_IS_FATAL ANY)
