# zq_rcenter's code lives in tools/rcenter/ as a library, so its tests and the
# fuzz targets link the same decoder the server runs. It shares the record
# and the codec with the client, never the client itself. Its store is the
# system's SQLite.
find_package(SQLite3 REQUIRED)
file(GLOB ZQ_RCENTER_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/rcenter/*.cpp)
add_library(zq_rcenter_lib STATIC ${ZQ_RCENTER_SOURCES})
target_include_directories(zq_rcenter_lib PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/rcenter)
target_link_libraries(zq_rcenter_lib PUBLIC zq_record zq_app zq_aio zq_cache zq_util SQLite::SQLite3)
# The HTTP API's requests are parsed by http_parser (libhttp-parser-dev).
find_path(ZQ_HTTP_PARSER_INCLUDE http_parser.h REQUIRED)
find_library(ZQ_HTTP_PARSER_LIB http_parser REQUIRED)
target_include_directories(zq_rcenter_lib PUBLIC ${ZQ_HTTP_PARSER_INCLUDE})
target_link_libraries(zq_rcenter_lib PUBLIC ${ZQ_HTTP_PARSER_LIB})
# The shared store of several centers is PostgreSQL, reached through libpq (libpq-dev).
find_path(ZQ_LIBPQ_INCLUDE libpq-fe.h PATH_SUFFIXES postgresql REQUIRED)
find_library(ZQ_LIBPQ_LIB pq REQUIRED)
target_include_directories(zq_rcenter_lib PRIVATE ${ZQ_LIBPQ_INCLUDE})
target_link_libraries(zq_rcenter_lib PUBLIC ${ZQ_LIBPQ_LIB})
target_link_libraries(zq_rcenter PRIVATE zq_rcenter_lib)
