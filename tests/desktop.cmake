# The desktop program's command-line test runs the program itself, and
# expects the version the program was built with.
if(TARGET wexel-update)
    add_dependencies(wexel_tests wexel-update)
endif()
# The station's window is driven in the test binary; its program is run
# as a process to end it by signals.
target_link_libraries(wexel_tests PRIVATE wexel_station)
if(TARGET wexel-station)
    add_dependencies(wexel_tests wexel-station)
endif()
target_compile_definitions(wexel_tests PRIVATE WEXEL_VERSION="${PROJECT_VERSION}")
