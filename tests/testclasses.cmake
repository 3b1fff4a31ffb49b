# class name, source file: one line per test class

wexel_add_test_class(UpdateSequenceTest tst_update.cpp)
wexel_add_test_class(FirmwareTest tst_firmware.cpp)
wexel_add_test_class(FirmwareFileDialogTest tst_filedialog.cpp)
wexel_add_test_class(MainWindowTest tst_window.cpp)
wexel_add_test_class(SimulatorTest tst_simulator.cpp)
include(${CMAKE_CURRENT_SOURCE_DIR}/sim.cmake)
wexel_add_test_class(SerialLinkTest tst_link.cpp)
add_test(NAME PortNumberTest COMMAND wexel_tests PortNumberTest)
set_tests_properties(PortNumberTest PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
wexel_add_test_class(SettingsPanelTest tst_settings.cpp)
wexel_add_test_class(CliTest tst_cli.cpp)
include(${CMAKE_CURRENT_SOURCE_DIR}/cli.cmake)
wexel_add_test_class(SoakTest tst_soak.cpp)
# The soak runs long; sanitizer builds leave it out by its label.
set_tests_properties(SoakTest PROPERTIES LABELS soak TIMEOUT 900)
wexel_add_test_class(DesktopFaultMatrixTest tst_faultmatrix.cpp)
wexel_add_test_class(CliFaultMatrixTest tst_climatrix.cpp)
