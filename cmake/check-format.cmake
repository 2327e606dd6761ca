# Fails when a C++ source of the tree is not laid out as .clang-format says, naming the files.
#     cmake -DSOURCE_DIR=<tree> -DCLANG_FORMAT=<program> -P check-format.cmake
set(sources)
foreach(folder Engine tool platform database diagnostics include tests fuzz bench)
  file(GLOB_RECURSE found ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h)
  list(APPEND sources ${found})
endforeach()
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${sources}
  WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  string(REGEX MATCHALL "[^\n]*: error:" places "${err}")
  list(REMOVE_DUPLICATES places)
  string(REPLACE ";" "\n" places "${places}")
  message(FATAL_ERROR "not laid out as .clang-format says (clang-format -i fixes it):\n${places}")
endif()
