# Installation of the whole product (cmake --install) and its Debian package (cpack -G DEB).
#
# With the prefix /usr, as the package has it:
#   /usr/bin/                    4810cli, korvel4810-sim, 4810PC (when it is built)
#   /usr/sbin/                   ZelHartDriver, ZelHartDriverSetupCustomAction, zelhart-hartipd (hartip/server)
#   /usr/lib/<multiarch>/        libZelHartDriverInterface.so.1.0.0, .so.1 (the SONAME) and .so, the
#                                name the programs load; pkgconfig/ZelHartDriverInterface.pc
#   /usr/include/zelhart/        hart_api.h, the library's C header
#   /usr/lib/systemd/system/     ZelHartDriver.service; system-sleep/zelhart-sleep
#   /usr/share/zelhart/          ZelHartDriver.inf, the driver package the setup helper installs
#   /usr/share/applications/korvel-4810pc.desktop (with 4810PC), mime/packages/korvel-4810.xml (the
#                                MIME type application/x-korvel-4810, *.4810), icons/hicolor/scalable/
#   /usr/share/man/man1, man8/   the programs' manual pages
#   /usr/share/doc/korvel4810/   copyright, changelog.gz
#   /etc/zelhart/                ZelHartDriver.reg, the driver's tunables
# Tests, test doubles and benchmarks have no install rules. The package is built from a tree configured
# with -DCMAKE_INSTALL_PREFIX=/usr (README, "Installing").
include(GNUInstallDirs)

set(ZELHART_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(ZELHART_PACKAGE_NAME korvel4810)

# ---- Programs and the library ----
set(zelhart_installed_programs 4810cli korvel4810-sim ZelHartDriverSetupCustomAction)
if(TARGET 4810PC)
  list(APPEND zelhart_installed_programs 4810PC)
endif()
install(TARGETS 4810cli korvel4810-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET 4810PC)
  install(TARGETS 4810PC RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS ZelHartDriverSetupCustomAction RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The seven exports are the whole ABI; the records they pass are fixed in size and layout.
set_target_properties(ZelHartDriverInterface PROPERTIES VERSION 1.0.0 SOVERSION 1)
install(TARGETS ZelHartDriverInterface LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/interface/include/zelhart/hart_api.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelhart)

if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZELHART_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(ZELHART_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZELHART_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(ZELHART_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${ZELHART_PACKAGING_DIR}/ZelHartDriverInterface.pc.in
               ${PROJECT_BINARY_DIR}/packaging/ZelHartDriverInterface.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/ZelHartDriverInterface.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# No installed program links a library of ours; the interface library is loaded by its bare name,
# which the dynamic loader finds in a system library directory without any search path. Installed
# elsewhere (a private prefix), the programs look in the prefix's library directory.
list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" zelhart_libdir_is_system)
if(zelhart_libdir_is_system GREATER -1)
  set(zelhart_install_rpath "")
else()
  file(RELATIVE_PATH zelhart_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(zelhart_install_rpath "$ORIGIN/${zelhart_bin_to_lib}")
endif()
set_target_properties(${zelhart_installed_programs} ZelHartDriver PROPERTIES INSTALL_RPATH "${zelhart_install_rpath}")
set_target_properties(ZelHartDriverInterface PROPERTIES INSTALL_RPATH "")
if(TARGET zelhart-hartipd) # the HART-IP server loads the library by its bare name too
  set_target_properties(zelhart-hartipd PROPERTIES INSTALL_RPATH "${zelhart_install_rpath}")
endif()

# ---- The daemon's system files ----
# The unit names the daemon and its configuration directory where this installation puts them.
file(READ ${PROJECT_SOURCE_DIR}/driver/ZelHartDriver.service zelhart_unit)
string(REPLACE "/usr/sbin/ZelHartDriver" "${CMAKE_INSTALL_FULL_SBINDIR}/ZelHartDriver" zelhart_unit "${zelhart_unit}")
string(REPLACE "--config-dir /etc/zelhart" "--config-dir ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zelhart" zelhart_unit
       "${zelhart_unit}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging/ZelHartDriver.service CONTENT "${zelhart_unit}")
install(FILES ${PROJECT_BINARY_DIR}/packaging/ZelHartDriver.service DESTINATION lib/systemd/system)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/driver/zelhart-sleep DESTINATION lib/systemd/system-sleep)
# GNUInstallDirs puts the configuration in /etc (not /usr/etc) for the prefix /usr in its FULL_ form only.
install(FILES ${PROJECT_SOURCE_DIR}/driver/ZelHartDriver.reg DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zelhart)
install(FILES ${PROJECT_SOURCE_DIR}/setup/inf/ZelHartDriver.inf DESTINATION ${CMAKE_INSTALL_DATADIR}/zelhart)

# ---- The desktop: MIME type and icon always, the desktop entry with the program it starts ----
# The file names are those of 4810PC's registration for one user (korvel-4810.xml,
# korvel-4810pc.desktop), so that the user's own copies replace these instead of adding a second entry.
install(FILES ${ZELHART_PACKAGING_DIR}/korvel-4810.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(FILES ${ZELHART_PACKAGING_DIR}/korvel4810.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${ZELHART_PACKAGING_DIR}/korvel4810.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/mimetypes RENAME application-x-korvel-4810.svg)
if(TARGET 4810PC)
  install(FILES ${ZELHART_PACKAGING_DIR}/korvel-4810pc.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

# ---- Manual pages, compressed as Debian has them ----
set(zelhart_man_pages 4810cli.1 korvel4810-sim.1 ZelHartDriver.8 ZelHartDriverSetupCustomAction.8)
if(TARGET 4810PC)
  list(APPEND zelhart_man_pages 4810PC.1)
endif()
set(zelhart_man_outputs)
foreach(page ${zelhart_man_pages})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set(out ${PROJECT_BINARY_DIR}/packaging/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging/man
                     COMMAND gzip -9nc ${ZELHART_PACKAGING_DIR}/man/${page} > ${out}
                     DEPENDS ${ZELHART_PACKAGING_DIR}/man/${page} VERBATIM)
  list(APPEND zelhart_man_outputs ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(zelhart_man_pages ALL DEPENDS ${zelhart_man_outputs})

# ---- The Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZELHART_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ZelHart)
set(CPACK_PACKAGE_CONTACT "ZelHart <packages@zelhart.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_NAME ${ZELHART_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configuration toolchain for the Korvel-4810 HART temperature transmitter")
# The extended description; CPack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Configures, monitors and calibrates the Korvel-4810 temperature transmitter
through a HART modem on a serial port: the command-line program 4810cli (and
the desktop program 4810PC where built), the HART modem driver daemon
ZelHartDriver with its systemd unit and the interface library
libZelHartDriverInterface, the setup helper ZelHartDriverSetupCustomAction,
which the package runs to install the driver package and its device node, the
HART-IP server zelhart-hartipd with its systemd unit (not enabled), and the
transmitter simulator korvel4810-sim.")

set(zelhart_deb_dir ${PROJECT_BINARY_DIR}/packaging/debian)
set(ZELHART_FULL_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(ZELHART_FULL_DATADIR ${CMAKE_INSTALL_FULL_DATADIR})
set(ZELHART_FULL_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
configure_file(${ZELHART_PACKAGING_DIR}/debian/setup-steps.sh.in ${zelhart_deb_dir}/setup-steps.sh @ONLY)
file(READ ${zelhart_deb_dir}/setup-steps.sh ZELHART_SETUP_STEPS)
foreach(script postinst prerm postrm)
  configure_file(${ZELHART_PACKAGING_DIR}/debian/${script}.in ${zelhart_deb_dir}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${ZELHART_PACKAGING_DIR}/debian/conffiles.in ${zelhart_deb_dir}/conffiles @ONLY)
configure_file(${ZELHART_PACKAGING_DIR}/debian/triggers ${zelhart_deb_dir}/triggers COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${zelhart_deb_dir}/postinst ${zelhart_deb_dir}/prerm ${zelhart_deb_dir}/postrm
    ${zelhart_deb_dir}/conffiles ${zelhart_deb_dir}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The package's own documents: the copyright and a compressed changelog.
configure_file(${ZELHART_PACKAGING_DIR}/debian/changelog.in ${zelhart_deb_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${zelhart_deb_dir}/changelog.gz
                   COMMAND gzip -9nc ${zelhart_deb_dir}/changelog > ${zelhart_deb_dir}/changelog.gz
                   DEPENDS ${zelhart_deb_dir}/changelog VERBATIM)
add_custom_target(zelhart_package_docs ALL DEPENDS ${zelhart_deb_dir}/changelog.gz)
install(FILES ${ZELHART_PACKAGING_DIR}/debian/copyright ${zelhart_deb_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${ZELHART_PACKAGE_NAME})

include(CPack)
