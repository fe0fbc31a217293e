# The server's layers include only downwards (service -> engine -> net ->
# protocol -> config -> platform).
add_test(NAME include_layers
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/include_layers_test.py)
set_tests_properties(include_layers PROPERTIES LABELS "unit")
