# Install rules, the pkg-config file, the CMake package and the Debian
# packages (CPack), in three components as Debian splits them:
#   program      talven and its manual page              -> talven
#   library      libtalvenftp.so.1                       -> libtalvenftp1
#   development  headers, libtalvenftp.so, .pc, CMake    -> libtalvenftp-dev
include(CMakePackageConfigHelpers)

set(talven_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/talven)
set(talven_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Talven)

install(TARGETS talven RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(TARGETS talvenftp EXPORT TalvenTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ftp/talvenftp.h platform/${TALVEN_PLATFORM}/talven_abi.h
  DESTINATION ${talven_include_dir} COMPONENT development)

# Both files find the installed tree from where they lie, so the tree can be
# moved (a DESTDIR staging folder, another prefix) and still be used.
install(EXPORT TalvenTargets NAMESPACE Talven:: DESTINATION ${talven_cmake_dir} COMPONENT development)
write_basic_package_version_file(TalvenConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES cmake/TalvenConfig.cmake ${PROJECT_BINARY_DIR}/TalvenConfigVersion.cmake
  DESTINATION ${talven_cmake_dir} COMPONENT development)

file(RELATIVE_PATH talven_pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" talven_pc_prefix "${talven_pc_prefix}")
file(RELATIVE_PATH talven_pc_libdir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH talven_pc_includedir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR}/talven)
configure_file(cmake/talvenftp.pc.in talvenftp.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/talvenftp.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(WIN32)
  return()
endif()

# The manual page names the settings this build was made with.
if(TALVEN_TLS)
  set(TALVEN_TLS_TEXT ON)
else()
  set(TALVEN_TLS_TEXT OFF)
endif()
if(TALVEN_TLS_PIN)
  set(TALVEN_TLS_PIN_TEXT "${TALVEN_TLS_PIN}")
else()
  set(TALVEN_TLS_PIN_TEXT "(empty)")
endif()
if(TALVEN_PASSWORD STREQUAL "")
  set(TALVEN_PASSWORD_TEXT "(empty)")
else()
  set(TALVEN_PASSWORD_TEXT "(set, not shown here)")
endif()
configure_file(docs/talven.1.in talven.1 @ONLY)
add_custom_command(OUTPUT talven.1.gz
  COMMAND gzip -9nc talven.1 > talven.1.gz
  DEPENDS ${PROJECT_BINARY_DIR}/talven.1)
add_custom_target(talven_manual ALL DEPENDS talven.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/talven.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/talven COMPONENT program)

set(TALVEN_PACKAGE_MAINTAINER "Talven developers <talven@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talven)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TALVEN_PACKAGE_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program library development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)

set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "console program that uploads one file to a fixed FTP server
talven uploads the file named on its command line to the FTP server it was
built for (${TALVEN_SERVER_HOST}, as ${TALVEN_ACCOUNT}), retries under a
random name when the server refuses, and reports the outcome in a popup.
It also exports the operations of its FTP client by name.")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME talven)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION net)

set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "small FTP client library with a C interface
libtalvenftp is an FTP client: a control session, passive-mode transfers,
directory listings and one-command operations, over a TCP stream layer
whose every wait is bounded. Strings cross its C interface as counted byte
strings (BSTR).")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtalvenftp${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# OpenSSL is loaded only when a TLS session opens, so the package tools do
# not see it: a library without it still serves plain FTP.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_RECOMMENDS libssl3)
if(TALVEN_TLS)
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS libssl3)
endif()
# The symbols file lists the names of ftp/talvenftp.map, each under its
# symbol version node, with the release that first exported them: a node
# added later needs that release here.
set(talven_node_releases TALVENFTP_1 1.0.0 TALVENFTP_2 1.1.0)
set(talven_symbols "libtalvenftp.so.${PROJECT_VERSION_MAJOR} libtalvenftp${PROJECT_VERSION_MAJOR} #MINVER#
* Build-Depends-Package: libtalvenftp-dev\n")
file(STRINGS ${TALVEN_EXPORT_MAP} map_lines REGEX "^(TALVENFTP_[0-9]+ {|    [A-Za-z0-9_]+;)$")
foreach(line IN LISTS map_lines)
  if(line MATCHES "^(TALVENFTP_[0-9]+) {$")
    set(node ${CMAKE_MATCH_1})
    list(FIND talven_node_releases ${node} at)
    if(at EQUAL -1)
      message(FATAL_ERROR "no release given for the symbol version ${node}")
    endif()
    math(EXPR at "${at} + 1")
    list(GET talven_node_releases ${at} release)
    string(APPEND talven_symbols " ${node}@${node} ${release}\n")
  elseif(line MATCHES "^    ([A-Za-z0-9_]+);$")
    string(APPEND talven_symbols " ${CMAKE_MATCH_1}@${node} ${release}\n")
  endif()
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/debian/symbols "${talven_symbols}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/triggers ${PROJECT_BINARY_DIR}/debian/symbols)

set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "small FTP client library with a C interface - development files
The header of libtalvenftp's C interface, with a pkg-config file
(talvenftp) and a CMake package (find_package(Talven), target
Talven::talvenftp) for linking against it.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtalvenftp-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)

# Each package's changelog and copyright file (the MIT license, in Debian's
# machine-readable form), in the Debian packages only (a component-wise
# install, as CPack makes it, includes files excluded from a full one).
add_custom_command(OUTPUT changelog.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
add_custom_target(talven_debian_changelog ALL DEPENDS changelog.gz)
foreach(component IN ITEMS program library development)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
