# The API reference, from the public headers: `cmake --build build --target quilo_docs` writes
# build/docs/html/index.html. Every public name must be documented: a warning fails the target.
find_package(Doxygen)
if(NOT DOXYGEN_FOUND)
  return()
endif()
set(DOXYGEN_PROJECT_NAME quilo)
set(DOXYGEN_PROJECT_BRIEF "C++20 client library for S3-compatible object storage")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/include)
set(DOXYGEN_STRIP_FROM_INC_PATH ${PROJECT_SOURCE_DIR}/include)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_HAVE_DOT NO)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_EXCLUDE_SYMBOLS detail std operator== QUILO_EXPORT QUILO_HIDDEN)
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/README.md)
# The headers' comments are plain `//`, as everywhere in the code: a filter shows them to
# Doxygen as its own.
set(DOXYGEN_INPUT_FILTER "awk -f ${PROJECT_SOURCE_DIR}/cmake/DocComments.awk")
set(DOXYGEN_DISTRIBUTE_GROUP_DOC YES)
doxygen_add_docs(quilo_docs ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/include/quilo
  COMMENT "Writing the API reference into ${PROJECT_BINARY_DIR}/docs")
