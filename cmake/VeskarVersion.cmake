# The build's version: the project's, with the git revision the tree was
# configured from. Outside a git checkout (a source tarball) the revision is
# VESKAR_REVISION when given, else none.

set(VESKAR_REVISION "" CACHE STRING "Source revision shown by --version (default: from git)")
set(_revision "${VESKAR_REVISION}")
if(NOT _revision)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=12 HEAD
      WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}" OUTPUT_VARIABLE _revision
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _failed)
    if(_failed)
      set(_revision "")
    else()
      # Tracked files changed since that commit: the binary is not that revision.
      execute_process(COMMAND "${GIT_EXECUTABLE}" status --porcelain --untracked-files=no
        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}" OUTPUT_VARIABLE _changes ERROR_QUIET)
      if(_changes)
        string(APPEND _revision "-dirty")
      endif()
    endif()
  endif()
endif()
set(VESKAR_SOURCE_REVISION "${_revision}")

# Only the programs include it, so a new revision rebuilds three files, not the tree.
configure_file(${PROJECT_SOURCE_DIR}/runtime/version.hpp.in
  ${PROJECT_BINARY_DIR}/generated/runtime/version.hpp @ONLY)
add_library(veskar_version INTERFACE)
target_include_directories(veskar_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
