# End-to-end tests through the SOAP service: the server in the server
# namespace of a private test network, simulated agents in the LAN namespace.
# Skipped (77) where namespaces cannot be created.
add_test(NAME e2e_discovery
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/e2e_discovery_test.py)
set_tests_properties(e2e_discovery PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST}"
  SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "integration;netns")

# Uploads to simulated agents with tftpd-hpa as their TFTP server, one test
# per class so that they may run side by side.
foreach(part UpgradeTest ArpCleanupTest LargeAndLossyTest)
  add_test(NAME e2e_upgrade_${part}
           COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/e2e_upgrade_test.py ${part})
  set_tests_properties(e2e_upgrade_${part} PROPERTIES
    ENVIRONMENT "FERRO_DIST=${FERRO_DIST}"
    SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "integration;netns")
endforeach()
