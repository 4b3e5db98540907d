# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows build's zip: `cpack -G ZIP` in the build folder makes tavrick-<version>-win64.zip with
# tavrick.exe, how to run it, and the licence.
install(TARGETS tavrick RUNTIME DESTINATION .)
# The text files end their lines in CR LF, as the platform's editors expect (neither holds an @).
configure_file(doc/windows/how-to-run.txt how-to-run.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/how-to-run.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
set(CPACK_PACKAGE_NAME tavrick)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME tavrick-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
