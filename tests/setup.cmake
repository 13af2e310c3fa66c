# Tests of the setup program kivsetup (included by tests/CMakeLists.txt).

add_subdirectory(standin)

# Helpers: the test as a debugger of the program under test, and the
# setup runs, folders and spooler read-back built on it.
add_library(setuptestsupport STATIC support/debugrun.cpp support/setuptest.cpp)
target_include_directories(setuptestsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support
                                                   ${CMAKE_CURRENT_SOURCE_DIR}/standin
                                                   ${PROJECT_SOURCE_DIR}/common)
target_link_libraries(setuptestsupport PUBLIC testsupport winspool shell32 shlwapi)

# The real kivsetup.exe end to end, one fresh prefix per test.
add_executable(test_setup test_setup.cpp)
target_link_libraries(test_setup PRIVATE setuptestsupport)
add_dependencies(test_setup kivstage dlghelper)
kiv_wine_gtests(test_setup test_setup.cpp)

# The options reader, the progress window's resource and the spooler
# service control, in-process, from the objects kivsetup.exe is built of.
add_executable(test_setup_units test_setup_units.cpp)
target_link_libraries(test_setup_units PRIVATE kivsetupops testsupport)
add_dependencies(test_setup_units kivsetup)
kiv_wine_gtests(test_setup_units test_setup_units.cpp)

# Removal (kivsetup /uninstall) after a real installation, one fresh prefix
# per test; the command line reader in-process.
add_executable(test_uninstall test_uninstall.cpp)
target_link_libraries(test_uninstall PRIVATE setuptestsupport kivsetupops version)
add_dependencies(test_uninstall kivstage dlghelper)
kiv_wine_gtests(test_uninstall test_uninstall.cpp)
