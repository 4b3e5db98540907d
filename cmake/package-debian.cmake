# SPDX-License-Identifier: GPL-3.0-or-later
# The Linux build's installation and its Debian package, with the manual page and the release notes.
# The release notes, CHANGES, are in Debian's changelog format, newest first; the newest entry must
# be the version being built, so that the package's changelog describes the package.
file(STRINGS CHANGES newest_release LIMIT_COUNT 1)
string(REGEX REPLACE "^tavrick \\(([^)]*)\\) .*" "\\1" newest_release_version "${newest_release}")
if(NOT newest_release_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "the newest entry of CHANGES is not version ${PROJECT_VERSION}: ${newest_release}")
endif()

# The manual page's header carries the project version. The page and the release notes are
# installed gzip-compressed, as Debian wants them; -n leaves the file name and time out of the
# archive, so the same text always compresses to the same bytes.
find_program(GZIP_PROGRAM gzip REQUIRED)
configure_file(doc/tavrick.1.in doc/tavrick.1 @ONLY)
configure_file(CHANGES doc/changelog COPYONLY)
set(compressed_docs "")
foreach(doc tavrick.1 changelog)
  add_custom_command(OUTPUT doc/${doc}.gz
                     COMMAND ${GZIP_PROGRAM} -9 -n -k -f ${doc}
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/${doc}
                     WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/doc VERBATIM)
  list(APPEND compressed_docs ${CMAKE_CURRENT_BINARY_DIR}/doc/${doc}.gz)
endforeach()
add_custom_target(tavrick_docs ALL DEPENDS ${compressed_docs})

include(GNUInstallDirs)
install(TARGETS tavrick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/tavrick.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES completion/tavrick.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME tavrick)

# `cpack -G DEB` in the build folder makes tavrick_<version>_<arch>.deb; its dependencies come
# from the libraries the binary links (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_PACKAGE_NAME tavrick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "Tavrick maintainers <maintainers@users.noreply.c-seed-3284e537.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list user accounts of this machine or of a server as delimited text")
set(CPACK_PACKAGE_DESCRIPTION "\
Tavrick writes the user accounts of this machine (through NSS) or of a Windows
or Samba server (through Samba's libnetapi) as delimited text, one record per
account: name, full name and groups, or all account fields. Its options choose
the accounts, the field labels, the quotes and the delimiters, for reading by
people or by programs such as cut and awk.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
if(have_netapi)
  # Loaded at run time, so the computed dependencies cannot see them; without Samba's library -S
  # answers "This network request is not supported", without MIT Kerberos's a Kerberos logon
  # without USER logs on as the login name rather than the ticket's principal.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS samba-libs)
  if(KRB5_FOUND)
    string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", libkrb5-3")
  endif()
endif()
include(CPack)
