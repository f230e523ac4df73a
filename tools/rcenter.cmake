# zq_rcenter's code lives in tools/rcenter/, one library per folder (its
# CMakeLists.txt draws the floors), so its tests, zq_lookup and the fuzz
# targets link just the floors they use. It shares the record and the codec
# with the client, never the client itself.
add_subdirectory(rcenter)
target_link_libraries(zq_rcenter PRIVATE zq_rc_server)
