# binary, class name, source file: one line per test class. A new class is
# one line here, in the binary of the layer it tests:
#   wexel_add_test_class(wexel_core_tests MyRuleTest tst_myrule.cpp)
# and WEXEL_REGISTER_TEST(MyRuleTest) at the end of its file.

# The core.
wexel_add_test_class(wexel_core_tests FirmwareTest tst_firmware.cpp)
wexel_add_test_class(wexel_core_tests ImageRulesTest tst_imagerules.cpp)
wexel_add_test_class(wexel_core_tests SerialLinkTest tst_link.cpp)
wexel_add_test_class(wexel_core_tests PortNumberTest)
set_tests_properties(PortNumberTest PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 1500)
wexel_add_test_class(wexel_core_tests UpdateSequenceTest tst_update.cpp)
wexel_add_test_class(wexel_core_tests LaneTest tst_lane.cpp)
wexel_add_test_class(wexel_core_tests LaneGroupTest tst_lanegroup.cpp)
wexel_add_test_class(wexel_core_tests SoakTest tst_soak.cpp)
# The soak (50 updates; WEXEL_SOAK_UPDATES=200 for the long one) is a
# throughput run; sanitizer builds leave it out by its labels.
set_tests_properties(SoakTest PROPERTIES TIMEOUT 900)
wexel_long_test(SoakTest soak throughput)

# The unit history.
wexel_add_test_class(wexel_history_tests HistoryStoreTest tst_historystore.cpp)
wexel_add_test_class(wexel_history_tests ServerHistoryTest tst_serverhistory.cpp)

# The simulator.
wexel_add_test_class(wexel_sim_tests SimulatorTest tst_simulator.cpp)

# The command line.
wexel_add_test_class(wexel_cli_tests CliTest tst_cli.cpp)
wexel_add_test_class(wexel_cli_tests CliFaultMatrixTest tst_climatrix.cpp)
wexel_add_test_class(wexel_cli_tests StationTest tst_station.cpp)

# The report program.
wexel_add_test_class(wexel_report_tests ReportTest tst_report.cpp)

# The desktop program.
wexel_add_test_class(wexel_desktop_tests MainWindowTest tst_window.cpp)
wexel_add_test_class(wexel_desktop_tests FirmwareFileDialogTest tst_filedialog.cpp)
wexel_add_test_class(wexel_desktop_tests SettingsPanelTest tst_settings.cpp)
wexel_add_test_class(wexel_desktop_tests DesktopFaultMatrixTest tst_faultmatrix.cpp)
wexel_add_test_class(wexel_desktop_tests ImageGateTest tst_gate.cpp)
wexel_add_test_class(wexel_desktop_tests DesktopCommandLineTest tst_desktopcommandline.cpp)
# 200,000 lines through the desktop program in process and the command line
# as a program: both front ends, so beside the desktop's tests.
wexel_add_test_class(wexel_desktop_tests ThroughputTest tst_throughput.cpp)
wexel_long_test(ThroughputTest throughput)

# The production station.
wexel_add_test_class(wexel_station_tests StationWindowTest tst_stationwindow.cpp)
