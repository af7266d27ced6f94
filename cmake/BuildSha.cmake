# The build identifier: the commit id of the source tree. A source tree
# without git (an unpacked sdist) carries it in the file BUILD_SHA; failing
# both, a SHA-1 over the sources identifies them.
set(VORPEL_BUILD_SHA "")
if(EXISTS ${CMAKE_SOURCE_DIR}/BUILD_SHA)
  file(READ ${CMAKE_SOURCE_DIR}/BUILD_SHA VORPEL_BUILD_SHA)
  string(STRIP "${VORPEL_BUILD_SHA}" VORPEL_BUILD_SHA)
endif()
if(NOT VORPEL_BUILD_SHA)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse HEAD
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE VORPEL_BUILD_SHA OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE _git_rc ERROR_QUIET)
    if(NOT _git_rc EQUAL 0)
      set(VORPEL_BUILD_SHA "")
    endif()
  endif()
endif()
# (CMake regular expressions have no {n} counts: check the length apart.)
string(LENGTH "${VORPEL_BUILD_SHA}" _sha_len)
if(NOT _sha_len EQUAL 40 OR NOT VORPEL_BUILD_SHA MATCHES "^[0-9a-f]+$")
  file(GLOB_RECURSE _src_files ${CMAKE_SOURCE_DIR}/src/*.cc ${CMAKE_SOURCE_DIR}/src/*.h)
  list(SORT _src_files)
  set(_all "")
  foreach(f IN LISTS _src_files)
    file(SHA1 ${f} _h)
    string(APPEND _all ${_h})
  endforeach()
  string(SHA1 VORPEL_BUILD_SHA "${_all}")
endif()
message(STATUS "vorpel build sha: ${VORPEL_BUILD_SHA}")
file(WRITE ${CMAKE_BINARY_DIR}/generated/vorpel_build_sha.h.tmp
  "#pragma once\n#define VORPEL_BUILD_SHA \"${VORPEL_BUILD_SHA}\"\n")
file(COPY_FILE ${CMAKE_BINARY_DIR}/generated/vorpel_build_sha.h.tmp
  ${CMAKE_BINARY_DIR}/generated/vorpel_build_sha.h ONLY_IF_DIFFERENT)
