# Run at build time (cmake -P): writes the version header from the project's
# version and, in a checkout, the git description. configure_file rewrites
# the header only when its text changes, so an unchanged description
# rebuilds nothing.
set(ZQ_GIT_DESCRIBE "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${ZQ_SOURCE_DIR}/.git")
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty --tags
                  WORKING_DIRECTORY ${ZQ_SOURCE_DIR}
                  OUTPUT_VARIABLE ZQ_GIT_DESCRIBE OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE ZQ_GIT_RC)
  if(NOT ZQ_GIT_RC EQUAL 0)
    set(ZQ_GIT_DESCRIBE "")
  endif()
endif()
configure_file(${ZQ_SOURCE_DIR}/cmake/zq_version.h.in ${ZQ_VERSION_HEADER} @ONLY)
