# The simulator's test drives the simulator binary and checks its summary
# against the memory image computed here.
if(TARGET wexel_sim_image)
    target_link_libraries(wexel_tests PRIVATE wexel_sim_image)
    add_dependencies(wexel_tests wexel-instrument-sim)
endif()
