# The parser's constant tables, generated from sparser.grammar by tools/lalrgen
# whenever the grammar or the generator changes. Included from
# driver/CMakeLists.txt after the tools directory has been added.
set(KORVEX_SPARSER_GRAMMAR ${CMAKE_CURRENT_LIST_DIR}/sparser.grammar)
set(KORVEX_SPARSER_TABLES ${CMAKE_BINARY_DIR}/generated/sparser_tables.cpp)

add_custom_command(
  OUTPUT ${KORVEX_SPARSER_TABLES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND lalrgen -r ${CMAKE_BINARY_DIR}/generated/sparser.report
          ${KORVEX_SPARSER_GRAMMAR} ${KORVEX_SPARSER_TABLES}
  DEPENDS lalrgen ${KORVEX_SPARSER_GRAMMAR}
  BYPRODUCTS ${CMAKE_BINARY_DIR}/generated/sparser.report
  COMMENT "Generating parser tables from sparser.grammar"
  VERBATIM)

add_library(korvex_sparser_tables STATIC ${KORVEX_SPARSER_TABLES})
