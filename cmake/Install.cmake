# Installation of the whole product (cmake --install) and its Debian package (cpack -G DEB).
#
# With the prefix /usr, as the package has it:
#   /usr/bin/                    4810cli, korvel4810-sim, 4810PC (when it is built)
#   /usr/sbin/                   ZelHartDriver, ZelHartDriverSetupCustomAction, zelhart-hartipd (hartip/server)
#   /usr/lib/<multiarch>/        libZelHartDriverInterface.so.1.0.0, .so.1 (the SONAME) and .so, the
#                                name the programs load; pkgconfig/ZelHartDriverInterface.pc
#   /usr/include/zelhart/        hart_api.h, the library's C header
#   /usr/lib/systemd/system/     ZelHartDriver.service; system-sleep/zelhart-sleep
#   /usr/share/zelhart/          ZelHartDriver.inf, the driver package the setup helper installs;
#                                udev/60-zelhart-modems.rules, the rule template for USB HART modems
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
install(TARGETS 4810cli korvel4810-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
if(TARGET 4810PC)
  install(TARGETS 4810PC RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
endif()
install(TARGETS ZelHartDriverSetupCustomAction RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT driver)

# The seven exports are the whole ABI; the records they pass are fixed in size and layout.
set_target_properties(ZelHartDriverInterface PROPERTIES VERSION 1.0.0 SOVERSION 1)
# The unversioned name stays with the runtime library: the programs load the library by that name.
install(TARGETS ZelHartDriverInterface LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/interface/include/zelhart/hart_api.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelhart COMPONENT development)

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
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

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
install(FILES ${PROJECT_BINARY_DIR}/packaging/ZelHartDriver.service DESTINATION lib/systemd/system COMPONENT driver)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/driver/zelhart-sleep DESTINATION lib/systemd/system-sleep COMPONENT driver)
# The group zelhart, whose members may use the daemon's socket and register simulated ports.
install(FILES ${ZELHART_PACKAGING_DIR}/sysusers.d/zelhart.conf DESTINATION lib/sysusers.d COMPONENT driver)
# The setup helper's log, rotated (the installer appends to it at every installation).
install(FILES ${ZELHART_PACKAGING_DIR}/logrotate/zelhart DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d
        COMPONENT driver)
# GNUInstallDirs puts the configuration in /etc (not /usr/etc) for the prefix /usr in its FULL_ form only.
install(FILES ${PROJECT_SOURCE_DIR}/driver/ZelHartDriver.reg DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zelhart
        COMPONENT driver)
install(FILES ${PROJECT_SOURCE_DIR}/setup/inf/ZelHartDriver.inf DESTINATION ${CMAKE_INSTALL_DATADIR}/zelhart
        COMPONENT driver)
# The udev rule template for USB HART modems: the administrator copies it to /etc/udev/rules.d and lists the modems.
install(FILES ${ZELHART_PACKAGING_DIR}/udev/60-zelhart-modems.rules DESTINATION ${CMAKE_INSTALL_DATADIR}/zelhart/udev
        COMPONENT driver)

# ---- The desktop: MIME type and icon always, the desktop entry with the program it starts ----
# The file names are those of 4810PC's registration for one user (korvel-4810.xml,
# korvel-4810pc.desktop), so that the user's own copies replace these instead of adding a second entry.
install(FILES ${ZELHART_PACKAGING_DIR}/korvel-4810.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        COMPONENT desktop)
install(FILES ${ZELHART_PACKAGING_DIR}/korvel4810.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT desktop)
install(FILES ${ZELHART_PACKAGING_DIR}/korvel4810.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/mimetypes RENAME application-x-korvel-4810.svg
        COMPONENT desktop)
if(TARGET 4810PC)
  install(FILES ${ZELHART_PACKAGING_DIR}/korvel-4810pc.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT desktop)
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
  if(page MATCHES "\\.8$")
    set(component driver)
  elseif(page STREQUAL "4810PC.1")
    set(component desktop)
  else()
    set(component tools)
  endif()
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(zelhart_man_pages ALL DEPENDS ${zelhart_man_outputs})


# ---- The Debian packages, one for each role (cpack -G DEB) ----
#   zelhart-driver                  the daemon, the setup helper, the unit, sleep hook, tunables, INF,
#                                   the group zelhart (sysusers.d), the setup log's rotation; the
#                                   maintainer scripts that run the installer steps
#   libzelhartdriverinterface1      the interface library (with its unversioned name, which the
#                                   programs load)
#   libzelhartdriverinterface-dev   its header and pkg-config file
#   korvel4810-tools                4810cli and the simulator korvel4810-sim
#   korvel4810                      the desktop program 4810PC, its desktop entry, MIME type and icon;
#                                   it depends on zelhart-driver and korvel4810-tools (up to 0.1.0 it was
#                                   the one package of everything)
# A headless machine installs zelhart-driver (and the tools): no Qt. A program of its own (a server
# of the daemon's) joins the daemon's package with COMPONENT driver.
set(ZELHART_DRIVER_PACKAGE zelhart-driver)
set(zelhart_components driver library development tools)
if(TARGET 4810PC)
  list(APPEND zelhart_components desktop)
endif()
set(zelhart_package_driver ${ZELHART_DRIVER_PACKAGE})
set(zelhart_package_library libzelhartdriverinterface1)
set(zelhart_package_development libzelhartdriverinterface-dev)
set(zelhart_package_tools korvel4810-tools)
set(zelhart_package_desktop ${ZELHART_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${zelhart_components})
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_PACKAGE_NAME ${ZELHART_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ZelHart)
set(CPACK_PACKAGE_CONTACT "ZelHart <packages@zelhart.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(zelhart_exact "(= ${PROJECT_VERSION})")
# Up to 0.1.0 one package, korvel4810, held everything: the daemon, the library, its header, the tools
# and the desktop program. Every package that took files from it breaks and replaces it before the
# split, so that dpkg lets the files change hands on an upgrade; korvel4810 itself (now the desktop
# program alone) depends on the daemon's and the tools' packages, so that an upgrade keeps everything
# the old package gave (apt brings the new packages in).
set(zelhart_before_split "${ZELHART_PACKAGE_NAME} (<< 0.2.0~)")
foreach(component DRIVER LIBRARY DEVELOPMENT TOOLS)
  set(CPACK_DEBIAN_${component}_PACKAGE_BREAKS "${zelhart_before_split}")
  set(CPACK_DEBIAN_${component}_PACKAGE_REPLACES "${zelhart_before_split}")
endforeach()

set(CPACK_DEBIAN_DRIVER_PACKAGE_NAME ${zelhart_package_driver})
set(CPACK_DEBIAN_DRIVER_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_DRIVER_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_DRIVER_PACKAGE_RECOMMENDS "${zelhart_package_tools}")
set(CPACK_COMPONENT_DRIVER_DESCRIPTION "HART modem driver daemon for the Korvel-4810 transmitter
The driver daemon ZelHartDriver serves HART modems on serial ports to the
Korvel-4810 programs through a socket open to the members of the group
zelhart, which the package creates. The package holds its systemd unit, its
tunables (ZelHartDriver.reg), the driver package ZelHartDriver.inf and the
setup helper ZelHartDriverSetupCustomAction, which the package runs to install
the driver package and its device node.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${zelhart_package_library})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# Only the library's package holds a shared library, so only it gets a shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "interface library of the Korvel-4810 HART modem driver
libZelHartDriverInterface gives programs the seven hart_* calls that reach the
HART modem driver daemon ZelHartDriver: open and close a modem, exchange HART
messages with a transmitter, configure the modem.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${zelhart_package_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${zelhart_package_library} ${zelhart_exact}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "interface library of the Korvel-4810 HART modem driver - development files
The C header zelhart/hart_api.h and the pkg-config file ZelHartDriverInterface
for programs that use libZelHartDriverInterface, the interface library of the
HART modem driver daemon ZelHartDriver.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${zelhart_package_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${zelhart_package_library} ${zelhart_exact}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "${zelhart_package_driver}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tools for the Korvel-4810 HART temperature transmitter
4810cli configures, monitors and calibrates the Korvel-4810 transmitter through
a HART modem served by the driver daemon ZelHartDriver; korvel4810-sim
simulates a transmitter behind a HART modem on a pseudo-terminal.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME ${zelhart_package_desktop})
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS
    "${zelhart_package_library} ${zelhart_exact}, ${zelhart_package_driver} ${zelhart_exact}, ${zelhart_package_tools} ${zelhart_exact}, qt6-translations-l10n")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION "desktop program for the Korvel-4810 HART temperature transmitter
4810PC configures, monitors and calibrates the Korvel-4810 transmitter through
a HART modem served by the driver daemon ZelHartDriver, and opens and saves
its configuration files (*.4810). The package depends on the daemon's and the
command-line tools' packages, which it held itself up to version 0.1.0.")

# Maintainer scripts and control files: the installer steps with the daemon's package, the ldconfig
# trigger with the library's, a lintian override (with its reason) with the library's.
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
set(CPACK_DEBIAN_DRIVER_PACKAGE_CONTROL_EXTRA
    ${zelhart_deb_dir}/postinst ${zelhart_deb_dir}/prerm ${zelhart_deb_dir}/postrm ${zelhart_deb_dir}/conffiles)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${zelhart_deb_dir}/triggers)
install(FILES ${ZELHART_PACKAGING_DIR}/lintian/${zelhart_package_library}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT library)

# Each package's own documents: the copyright and a compressed changelog of its name.
foreach(component ${zelhart_components})
  set(ZELHART_DOC_PACKAGE ${zelhart_package_${component}})
  set(dir ${zelhart_deb_dir}/doc/${ZELHART_DOC_PACKAGE})
  configure_file(${ZELHART_PACKAGING_DIR}/debian/changelog.in ${dir}/changelog @ONLY)
  add_custom_command(OUTPUT ${dir}/changelog.gz
                     COMMAND gzip -9nc ${dir}/changelog > ${dir}/changelog.gz
                     DEPENDS ${dir}/changelog VERBATIM)
  list(APPEND zelhart_changelogs ${dir}/changelog.gz)
  install(FILES ${ZELHART_PACKAGING_DIR}/debian/copyright ${dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${ZELHART_DOC_PACKAGE} COMPONENT ${component})
endforeach()
add_custom_target(zelhart_package_docs ALL DEPENDS ${zelhart_changelogs})

include(CPack)
