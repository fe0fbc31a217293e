# The user interface in headless Chromium against a server and simulated
# agents in a private test network. Screenshots land in the build tree.
add_test(NAME browser_ui
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/browser_ui_test.py)
set_tests_properties(browser_ui PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST};FERRO_SHOTS=${CMAKE_BINARY_DIR}/screenshots"
  SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "integration;netns;browser")

# The installed page against the service header: no browser, no namespace.
add_test(NAME page_contract
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/page_contract_test.py)
set_tests_properties(page_contract PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST}" TIMEOUT 60 LABELS "integration")
