# Third-party dependencies: Arrow C++ from the installed pyarrow wheel, RE2 and
# ICU from the system.
find_package(Python 3.9 REQUIRED COMPONENTS Interpreter)

if(NOT VORPEL_ARROW_INCLUDE OR NOT VORPEL_ARROW_LIBDIR)
  execute_process(
    COMMAND ${Python_EXECUTABLE} -c "import pyarrow as pa; print(pa.get_include()); print(pa.get_library_dirs()[0]); print(pa.__version__)"
    OUTPUT_VARIABLE _pa_out RESULT_VARIABLE _pa_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _pa_rc EQUAL 0)
    message(FATAL_ERROR "pyarrow must be installed in ${Python_EXECUTABLE} to build vorpel")
  endif()
  string(REPLACE "\n" ";" _pa_lines "${_pa_out}")
  list(GET _pa_lines 0 _inc)
  list(GET _pa_lines 1 _lib)
  list(GET _pa_lines 2 _ver)
  set(VORPEL_ARROW_INCLUDE ${_inc} CACHE PATH "Arrow C++ headers (pyarrow.get_include())")
  set(VORPEL_ARROW_LIBDIR ${_lib} CACHE PATH "Directory holding libarrow (pyarrow.get_library_dirs())")
  set(VORPEL_PYARROW_VERSION ${_ver} CACHE STRING "pyarrow version built against")
endif()
string(REGEX MATCH "^[0-9]+" VORPEL_PYARROW_MAJOR "${VORPEL_PYARROW_VERSION}")
file(GLOB _arrow_so "${VORPEL_ARROW_LIBDIR}/libarrow.so.${VORPEL_PYARROW_MAJOR}00")
if(NOT _arrow_so)
  file(GLOB _arrow_so "${VORPEL_ARROW_LIBDIR}/libarrow.so*")
endif()
list(GET _arrow_so 0 _arrow_so)
message(STATUS "Arrow from pyarrow ${VORPEL_PYARROW_VERSION}: ${_arrow_so}")
add_library(vorpel::arrow SHARED IMPORTED GLOBAL)
set_target_properties(vorpel::arrow PROPERTIES
  IMPORTED_LOCATION ${_arrow_so}
  IMPORTED_NO_SONAME OFF
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${VORPEL_ARROW_INCLUDE}
  INTERFACE_INCLUDE_DIRECTORIES ${VORPEL_ARROW_INCLUDE})

find_package(PkgConfig REQUIRED)
pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc)
add_library(vorpel::re2 ALIAS PkgConfig::RE2)
add_library(vorpel::icu ALIAS PkgConfig::ICU)
set(CMAKE_BUILD_RPATH ${VORPEL_ARROW_LIBDIR})

find_package(ZLIB REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
add_library(vorpel::zlib ALIAS ZLIB::ZLIB)
add_library(vorpel::zstd ALIAS PkgConfig::ZSTD)
find_package(Threads REQUIRED)
