# RapidJSON is header-only. The headers come from the build machine's package
# (rapidjson-dev) for both the native and the Windows build. Only the
# rapidjson/ folder is exposed, through a link in the build tree, so that a
# cross build never sees the build machine's other system headers.
find_path(EDCLEAN_RAPIDJSON_DIR rapidjson/reader.h
  PATHS /usr/include /usr/local/include
  NO_CMAKE_FIND_ROOT_PATH
  REQUIRED)
set(_edclean_rj_include ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${_edclean_rj_include})
if(NOT EXISTS ${_edclean_rj_include}/rapidjson)
  file(CREATE_LINK ${EDCLEAN_RAPIDJSON_DIR}/rapidjson ${_edclean_rj_include}/rapidjson SYMBOLIC)
endif()
add_library(edclean_rapidjson INTERFACE)
target_include_directories(edclean_rapidjson SYSTEM INTERFACE ${_edclean_rj_include})
