# The API reference: Doxygen over include/wq.h into <build>/docs/html. Every
# operation, parameter and return value must be documented: a warning fails
# the build, so the reference cannot silently fall behind the header.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "doxygen not found: no docs target (scripts/install-deps test)")
  return()
endif()

set(DOXYGEN_PROJECT_NAME wq)
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_PROJECT_BRIEF "Host library for the box: serial COM port and Bluetooth RFCOMM")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_NO_PARAMDOC YES)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_FULL_PATH_NAMES NO)
# The header as a C compiler on Linux sees it; the macro that marks the
# functions noexcept for C++ is not part of any signature.
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED WQ_NOEXCEPT=)
doxygen_add_docs(docs ${PROJECT_SOURCE_DIR}/include/wq.h
                 COMMENT "API reference: ${PROJECT_BINARY_DIR}/docs/html/index.html")
