# zq_lookup reads the center's store through the same modules the server
# writes it with, and nothing of the server above them.
target_link_libraries(zq_lookup PRIVATE zq_rc_store_open)
