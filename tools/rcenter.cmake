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
# The browser page's files are compiled in as byte arrays, so the center
# serves them with no file to install and nothing to find at run time.
set(ZQ_PAGE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/rcenter/page)
set(ZQ_PAGE_ASSETS ${CMAKE_BINARY_DIR}/generated/rc_page_assets.cpp)
add_custom_command(
  OUTPUT ${ZQ_PAGE_ASSETS}
  COMMAND ${CMAKE_COMMAND} -DOUT=${ZQ_PAGE_ASSETS} -DSOURCE_DIR=${ZQ_PAGE_DIR} -P ${ZQ_PAGE_DIR}/embed.cmake
  DEPENDS ${ZQ_PAGE_DIR}/embed.cmake ${ZQ_PAGE_DIR}/index.html ${ZQ_PAGE_DIR}/page.js ${ZQ_PAGE_DIR}/page.css
  COMMENT "Embedding the center's page")
target_sources(zq_rcenter_lib PRIVATE ${ZQ_PAGE_ASSETS})
