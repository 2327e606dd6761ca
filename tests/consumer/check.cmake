# Installs the build into a scratch prefix, builds the consumer against it with find_package and
# with pkg-config, and checks what both print for a sample archive.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WRITE_SAMPLE} ${WORK_DIR}/sample.arc)

set(expected "readme.txt\ntextures/wall.tex\nsounds/door.wav\n4 records\n")
run(${WORK_DIR}/build/list_archive ${WORK_DIR}/sample.arc)
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "find_package consumer printed:\n${output}\nexpected:\n${expected}")
endif()

# The same program built from the pkg-config description alone.
file(GLOB_RECURSE pcfile ${WORK_DIR}/prefix/brannock.pc)
get_filename_component(pcdir "${pcfile}" DIRECTORY)
get_filename_component(libdir "${pcdir}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(pkg-config --cflags --libs brannock)
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++20 ${SOURCE_DIR}/tests/consumer/main.cpp ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/list_archive_pc)
run(${WORK_DIR}/list_archive_pc ${WORK_DIR}/sample.arc)
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "pkg-config consumer printed:\n${output}\nexpected:\n${expected}")
endif()
