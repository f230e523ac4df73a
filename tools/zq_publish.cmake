# zq_publish's code lives in tools/publish/ as a library its tests link. The
# state is a SQLite file of its own.
find_package(SQLite3 REQUIRED)
find_package(Threads REQUIRED)
file(GLOB ZQ_PUBLISH_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/publish/*.cpp)
add_library(zq_publish_lib STATIC ${ZQ_PUBLISH_SOURCES})
target_include_directories(zq_publish_lib PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/publish)
target_link_libraries(zq_publish_lib PUBLIC zq_record zq_util SQLite::SQLite3 Threads::Threads)
target_link_libraries(zq_publish PRIVATE zq_publish_lib)
