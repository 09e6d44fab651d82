# The public header carries the version too (OVRAHELPER_VERSION_MAJOR/MINOR/PATCH); it must
# agree with project(VERSION), which names the shared object and the package.
file(READ ${PROJECT_SOURCE_DIR}/include/OvraHelper.h OVRA_HEADER)
set(OVRA_HEADER_VERSION "")
foreach(part MAJOR MINOR PATCH)
  string(REGEX MATCH "#define OVRAHELPER_VERSION_${part} ([0-9]+)" found "${OVRA_HEADER}")
  list(APPEND OVRA_HEADER_VERSION "${CMAKE_MATCH_1}")
endforeach()
list(JOIN OVRA_HEADER_VERSION . OVRA_HEADER_VERSION)
if(NOT OVRA_HEADER_VERSION STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR
    "include/OvraHelper.h says version ${OVRA_HEADER_VERSION}, project() says ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/OvraHelper.h)
