# zq_fetch's code lives in tools/fetch/ as a library its tests link. The
# downloads go through libcurl's multi interface (libcurl4-openssl-dev).
find_package(CURL REQUIRED)
file(GLOB ZQ_FETCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fetch/*.cpp)
add_library(zq_fetch_lib STATIC ${ZQ_FETCH_SOURCES})
target_include_directories(zq_fetch_lib PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/fetch)
target_link_libraries(zq_fetch_lib PUBLIC zq_record zq_util CURL::libcurl nlohmann_json::nlohmann_json Threads::Threads)
target_link_libraries(zq_fetch PRIVATE zq_fetch_lib)
