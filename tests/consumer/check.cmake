# Installs the build into a scratch prefix, builds the consumer against it with find_package and
# with pkg-config, and checks what both print for a sample archive and that they see no member
# the library does not export.
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
    ${SOURCE_DIR}/tests/consumer/records.cpp -I${SOURCE_DIR}/tests/consumer
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/list_archive_pc)
run(${WORK_DIR}/list_archive_pc ${WORK_DIR}/sample.arc)
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "pkg-config consumer printed:\n${output}\nexpected:\n${expected}")
endif()

# Every member the library does not export is also not declared to the program: calling one
# fails to compile, never to link.
set(hidden_calls
  "archive.FindFile(\"a\")"
  "archive.ReadFileData(0, nullptr, 0, 0)"
  "GAME::Archive::NormalizeFileName(\"a\", text)"
  "archive.HashFileName(\"a\", 1)"
  "archive.BuildHashTable()"
  "archive.GetTableSize()"
  "archive.GetFileMode()"
  "archive.GetArchiveFileTime()"
  "archive.OpenEdit(\"a\")"
  "archive.AllocateFileEntry(\"a\", 0, 0, false)"
  "archive.FindFreeEntry(0)"
  "archive.GetStatistics(*static_cast<GAME::ArchiveStatistics*>(nullptr))"
  "archive.AddFile(\"a\", 0)"
  "archive.RemoveFile(0)"
  "archive.Compact()"
  "archive.ExtractFile(0, \"o\")"
  "archive.ExtractAllFiles(\"o\")"
  "archive.HasWriteFailed()"
  "archive.GetOpenStatus()"
  "archive.Records()"
  "archive.ReadHeader()"
  "archive.WriteHeader()")
foreach(CALL IN LISTS hidden_calls)
  string(REGEX MATCH "[A-Za-z]+\\(" MEMBER "${CALL}")
  string(REGEX REPLACE "\\($" "" MEMBER "${MEMBER}")
  configure_file(${SOURCE_DIR}/tests/consumer/hidden_member.cpp.in ${WORK_DIR}/hidden_${MEMBER}.cpp @ONLY)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C c++ -std=c++20 -fsyntax-only ${flags} ${WORK_DIR}/hidden_${MEMBER}.cpp
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(result EQUAL 0)
    message(FATAL_ERROR "a program outside brannock can call ${MEMBER}, which the library does not export")
  endif()
  if(NOT err MATCHES "'${MEMBER}'.*(has no member named|is not a member of)" AND
     NOT err MATCHES "(has no member named|is not a member of).*'${MEMBER}'")
    message(FATAL_ERROR "calling ${MEMBER} failed to compile for another reason:\n${err}")
  endif()
endforeach()
