# Install rules, in two components:
#   upgrader  orvane-upgrader with its desktop entry, icons, AppStream metadata, manual
#             page and bash completion (what an operator's machine needs)
#   tools     the device simulator orvane-devsim and the network lab orvane-netlab
#             (for testing against simulated devices)
# The tools are left out of a plain "cmake --install": only an install that names the
# component (or its package) gets the simulator. Tests and benchmarks are never installed.
include(GNUInstallDirs)

set(ORVANE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ORVANE_PACKAGING_BINARY_DIR ${CMAKE_BINARY_DIR}/packaging)
# Dates written into generated files (the manual page's footer) are the release's, so
# that two builds of the same sources give the same bytes.
set(ORVANE_RELEASE_EPOCH 1789732800)

# The programs link only system libraries: no run path (Qt's project set-up would give
# them $ORIGIN/../lib, which a Debian package must not carry).
set_target_properties(orvane-upgrader orvane-devsim PROPERTIES INSTALL_RPATH "")

install(TARGETS orvane-upgrader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT upgrader)
install(FILES ${ORVANE_PACKAGING_DIR}/orvane-upgrader.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT upgrader)
install(FILES ${ORVANE_PACKAGING_DIR}/io.github.orvane.upgrader.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT upgrader)
install(FILES ${ORVANE_PACKAGING_DIR}/icons/orvane-upgrader.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT upgrader)
foreach(size 16 32 48 64 128 256)
  install(FILES ${ORVANE_PACKAGING_DIR}/icons/orvane-upgrader-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME orvane-upgrader.png COMPONENT upgrader)
endforeach()
install(FILES ${ORVANE_PACKAGING_DIR}/orvane-upgrader.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME orvane-upgrader COMPONENT upgrader)

install(PROGRAMS ${CMAKE_SOURCE_DIR}/tests/lab/netlab DESTINATION ${CMAKE_INSTALL_BINDIR}
  RENAME orvane-netlab COMPONENT tools EXCLUDE_FROM_ALL)

# orvane_gzip(<source> <output>): <output> is <source> compressed without a name or a
# time stamp (gzip -9n), as Debian wants manual pages and changelogs.
function(orvane_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${source} > ${output}
    DEPENDS ${source} VERBATIM)
endfunction()

# orvane_man_page(<name> <section> <component> [EXCLUDE_FROM_ALL]): builds
# packaging/<name>.<section>.scd with scdoc into a compressed page and installs it.
function(orvane_man_page name section component)
  set(source ${ORVANE_PACKAGING_DIR}/${name}.${section}.scd)
  set(page ${ORVANE_PACKAGING_BINARY_DIR}/${name}.${section})
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ORVANE_RELEASE_EPOCH}
            sh -c "\"$1\" < \"$2\" > \"$3\"" scdoc ${ORVANE_SCDOC} ${source} ${page}
    DEPENDS ${source} VERBATIM)
  orvane_gzip(${page} ${page}.gz)
  add_custom_target(${name}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component} ${ARGN})
endfunction()

# orvane_package_docs(<package> <component> [EXCLUDE_FROM_ALL]): the copyright file and
# the compressed changelog that Debian expects in /usr/share/doc/<package>, and the
# package's lintian overrides.
function(orvane_package_docs package component)
  set(changelog ${ORVANE_PACKAGING_BINARY_DIR}/${package}/changelog.Debian.gz)
  orvane_gzip(${ORVANE_PACKAGING_DIR}/changelog.Debian ${changelog})
  add_custom_target(${package}_changelog ALL DEPENDS ${changelog})
  install(FILES ${ORVANE_PACKAGING_DIR}/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} ${ARGN})
  install(FILES ${ORVANE_PACKAGING_DIR}/lintian/${package}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${component} ${ARGN})
endfunction()

file(MAKE_DIRECTORY ${ORVANE_PACKAGING_BINARY_DIR}/orvane-upgrader
  ${ORVANE_PACKAGING_BINARY_DIR}/orvane-upgrader-tools)
find_program(ORVANE_SCDOC scdoc)
if(ORVANE_SCDOC)
  orvane_man_page(orvane-upgrader 1 upgrader)
  orvane_man_page(orvane-devsim 1 tools EXCLUDE_FROM_ALL)
  orvane_man_page(orvane-netlab 1 tools EXCLUDE_FROM_ALL)
else()
  message(WARNING "scdoc not found (scripts/setup installs it): the manual pages are "
    "neither built nor installed")
endif()
orvane_package_docs(orvane-upgrader upgrader)
orvane_package_docs(orvane-upgrader-tools tools EXCLUDE_FROM_ALL)

include(${ORVANE_PACKAGING_DIR}/CPack.cmake)
