# Checks that a shipped platform library exports exactly what its public
# header declares with <PREFIX>_EXPORT: no test hook, no internal helper.
# Inputs: LIB NM HEADER PREFIX SANITIZED
include(${CMAKE_CURRENT_LIST_DIR}/exports.cmake)
file(READ ${HEADER} text)
names_in("${text}" "^${PREFIX}_EXPORT [^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)\\(" declared)
expect_exports(${LIB} ${NM} "${SANITIZED}" "${declared}" ${HEADER})
