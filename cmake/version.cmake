# The project's version has one source: the `version` of pyproject.toml.
# scikit-build-core passes it to the builds it runs; the others (the C++
# tests, the sanitizer and fuzzing builds) read it from the file. It reaches
# the C++ code as marrowfen::kVersion in the generated header base/version.h.
# Sets MARROWFEN_VERSION and MARROWFEN_GENERATED_INCLUDE_DIR.

if(DEFINED SKBUILD_PROJECT_VERSION_FULL)
  set(MARROWFEN_VERSION "${SKBUILD_PROJECT_VERSION_FULL}")
else()
  set(pyproject "${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml")
  # A new version in the file reconfigures, and so rebuilds what prints it.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pyproject}")
  file(READ "${pyproject}" text)
  # The [project] table runs from its header to the next table header.
  string(PREPEND text "\n")
  string(FIND "${text}" "\n[project]\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "${pyproject} has no [project] table")
  endif()
  string(SUBSTRING "${text}" ${start} -1 text)
  string(SUBSTRING "${text}" 1 -1 text)
  string(FIND "${text}" "\n[" end)
  string(SUBSTRING "${text}" 0 ${end} text)
  if(NOT text MATCHES "\nversion[ \t]*=[ \t]*\"([^\"\n]*)\"")
    message(FATAL_ERROR "${pyproject} has no version in its [project] table")
  endif()
  set(MARROWFEN_VERSION "${CMAKE_MATCH_1}")
endif()

# Version texts of PEP 440 need no escaping inside a C++ string literal.
if(NOT MARROWFEN_VERSION MATCHES "^[0-9A-Za-z.+!_-]+$")
  message(FATAL_ERROR "unexpected project version '${MARROWFEN_VERSION}'")
endif()

set(MARROWFEN_GENERATED_INCLUDE_DIR "${CMAKE_CURRENT_BINARY_DIR}/generated")
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/src/base/version.h.in"
               "${MARROWFEN_GENERATED_INCLUDE_DIR}/base/version.h" @ONLY)
