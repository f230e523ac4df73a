# zq_lookup reads zq_rcenter's store through the same module the server writes it with.
target_link_libraries(zq_lookup PRIVATE zq_rcenter_lib)
