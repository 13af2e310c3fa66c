# This build's package from the stand-ins: this version, an earlier one, one without kiv.gpd, one whose
# removal fails after setup's.
set(msi_dir ${CMAKE_BINARY_DIR}/msi-test)
set(msi_earlier 1.0.0.0)
set(msi_action ${CMAKE_BINARY_DIR}/msi-action/kivmsica.dll)
set(msi_build python3 ${PROJECT_SOURCE_DIR}/tools/msi/mkmsi.py --build ${KIV_ARCH} ${KIV_DIST_DIR}
              ${CMAKE_BINARY_DIR}/standin ${msi_action})
add_test(NAME msi_package_current COMMAND ${msi_build} --out ${msi_dir}/current)
add_test(NAME msi_package_earlier COMMAND ${msi_build} --out ${msi_dir}/earlier --version ${msi_earlier})
add_test(NAME msi_package_broken COMMAND ${msi_build} --out ${msi_dir}/broken --test-leave-out kiv.gpd)
add_test(NAME msi_package_late COMMAND ${msi_build} --out ${msi_dir}/late --test-fail-after KivSetupRemove)
set_tests_properties(msi_package_current msi_package_earlier msi_package_broken msi_package_late
                     PROPERTIES FIXTURES_SETUP msi LABELS nowine)
set(msi_check python3 ${CMAKE_CURRENT_SOURCE_DIR}/msi_check.py)
add_test(NAME msi_tables COMMAND ${msi_check} tables ${KIV_ARCH} ${KIV_DIST_DIR} ${msi_dir} ${PROJECT_VERSION})
add_test(NAME msi_signing COMMAND ${msi_check} signing ${KIV_ARCH} ${KIV_DIST_DIR} ${CMAKE_BINARY_DIR}/standin
                                   ${msi_action})
set_tests_properties(msi_tables PROPERTIES FIXTURES_REQUIRED msi LABELS nowine)
set_tests_properties(msi_signing PROPERTIES LABELS nowine)
# In the build's prefix (test_uninstall.cpp).
target_compile_definitions(test_uninstall PRIVATE KIV_MSI_VERSION="${PROJECT_VERSION}" KIV_MSI_EARLIER="${msi_earlier}")
set_property(TEST Package.InstallsUpgradesRemovesAndFailsWithOneEntryAndNoWindow
                  Package.ARemovalThatFailsLaterGetsItsPrinterBack APPEND PROPERTY FIXTURES_REQUIRED msi)
