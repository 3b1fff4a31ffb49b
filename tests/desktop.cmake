# The desktop program's command-line test runs the program itself, and
# expects the version the program was built with.
if(TARGET wexel-update)
    add_dependencies(wexel_tests wexel-update)
endif()
target_compile_definitions(wexel_tests PRIVATE WEXEL_VERSION="${PROJECT_VERSION}")
