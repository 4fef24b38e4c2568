# The version the programs print with --version: the project's VERSION, plus the git revision
# when the tree is a clone (a source tarball has none). The header lands in the build tree as
# "Version.h"; the revision is read again whenever HEAD moves.
find_package(Git QUIET)
set(KV_GIT_REVISION "")
if(GIT_FOUND)
  # Only our own clone counts, not a repository that happens to hold an unpacked tarball.
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE kv_git_top
                  OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
endif()
if(GIT_FOUND AND kv_git_top AND kv_git_top STREQUAL CMAKE_SOURCE_DIR)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE KV_GIT_REVISION
                  OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE kv_git_result
                  ERROR_QUIET)
  if(NOT kv_git_result EQUAL 0)
    set(KV_GIT_REVISION "")
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE kv_git_dir
                  OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE kv_git_result
                  ERROR_QUIET)
  if(kv_git_result EQUAL 0 AND EXISTS "${kv_git_dir}/logs/HEAD")
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${kv_git_dir}/logs/HEAD")
  endif()
endif()

if(KV_GIT_REVISION)
  set(KV_VERSION_TEXT "${PROJECT_VERSION} (git ${KV_GIT_REVISION})")
else()
  set(KV_VERSION_TEXT "${PROJECT_VERSION}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/Version.h.in ${CMAKE_BINARY_DIR}/generated/Version.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)
