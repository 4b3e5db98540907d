# SPDX-License-Identifier: GPL-3.0-or-later
# Finds Samba's libnetapi, which reads the accounts of servers (have_netapi), and MIT Kerberos
# (KRB5_FOUND), both loaded by the tool at run time; without libnetapi every remote request is
# refused.
set(have_netapi OFF)
if(NOT WIN32 AND NOT TAVRICK_NETAPI STREQUAL "OFF")
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(NETAPI IMPORTED_TARGET netapi)
  endif()
  if(NETAPI_FOUND)
    set(have_netapi ON)
    pkg_check_modules(KRB5 krb5)
  elseif(TAVRICK_NETAPI STREQUAL "ON")
    message(FATAL_ERROR "TAVRICK_NETAPI=ON but pkg-config does not find netapi (Debian: samba-dev)")
  else()
    message(STATUS "libnetapi not found: servers answer 'This network request is not supported'")
  endif()
endif()

# The name under which the first of a pkg-config module's libraries loads at run time.
function(library_soname libraries out)
  list(GET libraries 0 library)
  execute_process(COMMAND "${CMAKE_OBJDUMP}" -p "${library}" OUTPUT_VARIABLE headers RESULT_VARIABLE result)
  string(REGEX MATCH "SONAME +([^ \n]+)" soname_line "${headers}")
  if(NOT result EQUAL 0 OR NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "cannot read the SONAME of ${library}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()
