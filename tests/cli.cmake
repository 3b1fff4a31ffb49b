# The command-line front end's test runs both programs, so the test binary
# is only up to date once they are built. (The simulator's memory image is
# linked by sim.cmake.)
if(TARGET wexel-update-cli AND TARGET wexel-instrument-sim)
    add_dependencies(wexel_tests wexel-update-cli wexel-instrument-sim)
endif()
