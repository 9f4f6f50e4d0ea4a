# Install rules and the Debian package (CPack). Included at the end of the top-level CMakeLists.
#
#   cmake -S . -B build-package -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF ...
#   cmake --build build-package && cpack --config build-package/CPackConfig.cmake
#
# tools/package.sh does exactly this with Debian's hardening flags.
include(GNUInstallDirs)

set(AIRCON_PACKAGE_NAME aircon-tool)
set(AIRCON_APP_ID io.github.basestation.AirConTool)
set(AIRCON_MAINTAINER "The AirConTool developers <aircon-tool@users.noreply.github.com>")
set(AIRCON_HOMEPAGE "https://github.com/basestation/aircon-tool")
set(AIRCON_DEB_RELEASE 1)
# The date of this version's release, for the AppStream metadata and the Debian changelog.
set(AIRCON_RELEASE_DATE 2026-12-10)
set(AIRCON_CHANGELOG_DATE "Thu, 10 Dec 2026 00:00:00 +0000")
set(AIRCON_DEB_VERSION ${PROJECT_VERSION}-${AIRCON_DEB_RELEASE})

set(packaging_dir ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(packaging_out ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${AIRCON_PACKAGE_NAME})

# Programs installed under bin/, each with its manual page packaging/man/<program>.1 when there is
# one. A new program of the package is added to this list.
set(AIRCON_PACKAGE_PROGRAMS AirConTool ac_sim AirConPoll)
foreach(program IN LISTS AIRCON_PACKAGE_PROGRAMS)
    if(NOT TARGET ${program})
        continue()
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(EXISTS ${packaging_dir}/man/${program}.1)
        configure_file(${packaging_dir}/man/${program}.1 ${packaging_out}/man/${program}.1 @ONLY)
        add_custom_command(
            OUTPUT ${packaging_out}/man/${program}.1.gz
            COMMAND gzip -9nc ${packaging_out}/man/${program}.1 > ${program}.1.gz
            DEPENDS ${packaging_out}/man/${program}.1
            WORKING_DIRECTORY ${packaging_out}/man
            VERBATIM)
        list(APPEND packaging_generated ${packaging_out}/man/${program}.1.gz)
        install(FILES ${packaging_out}/man/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()

# systemd units: every packaging/systemd/*.service and *.timer is installed as a system unit.
file(GLOB systemd_units ${packaging_dir}/systemd/*.service ${packaging_dir}/systemd/*.timer)
if(systemd_units)
    install(FILES ${systemd_units} DESTINATION lib/systemd/system)
endif()
# AirConPoll@.service: its user, its runtime folder (and no link left from before a boot), its
# default options and the maintainer scripts.
install(FILES ${packaging_dir}/systemd/aircon-poll.sysusers DESTINATION lib/sysusers.d RENAME aircon-poll.conf)
install(FILES ${packaging_dir}/systemd/airconpoll.tmpfiles DESTINATION lib/tmpfiles.d RENAME airconpoll.conf)
install(FILES ${packaging_dir}/systemd/airconpoll.default DESTINATION /etc/default RENAME airconpoll)
# The alerting rules for the poller's metrics and an example Alertmanager route.
install(FILES ${packaging_dir}/prometheus/aircon-rules.yml ${packaging_dir}/prometheus/alertmanager-example.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/${AIRCON_PACKAGE_NAME}/prometheus)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging_dir}/systemd/postinst ${packaging_dir}/systemd/prerm
    ${packaging_dir}/systemd/postrm ${packaging_dir}/systemd/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Desktop integration: menu entry, icon in the hicolor theme, AppStream metadata.
if(TARGET AirConTool)
    install(FILES ${packaging_dir}/${AIRCON_APP_ID}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${packaging_dir}/${AIRCON_APP_ID}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    configure_file(${packaging_dir}/${AIRCON_APP_ID}.metainfo.xml.in
                   ${packaging_out}/${AIRCON_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${packaging_out}/${AIRCON_APP_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# Documentation: copyright in the machine-readable form and the Debian changelog.
configure_file(${packaging_dir}/changelog.in ${packaging_out}/changelog.Debian @ONLY)
add_custom_command(
    OUTPUT ${packaging_out}/changelog.Debian.gz
    COMMAND gzip -9nc changelog.Debian > changelog.Debian.gz
    DEPENDS ${packaging_out}/changelog.Debian
    WORKING_DIRECTORY ${packaging_out}
    VERBATIM)
list(APPEND packaging_generated ${packaging_out}/changelog.Debian.gz)
add_custom_target(packaging_files ALL DEPENDS ${packaging_generated})
install(FILES ${packaging_dir}/copyright ${packaging_out}/changelog.Debian.gz DESTINATION ${doc_dir})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${AIRCON_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The AirConTool developers")
set(CPACK_PACKAGE_CONTACT ${AIRCON_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${AIRCON_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${AIRCON_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${AIRCON_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Libraries come from dpkg-shlibdeps; the window's Chinese texts need a CJK font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk | fonts-wqy-zenhei")
# AirConPoll hands its readings to the node exporter.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "prometheus-node-exporter")
# The synopsis, then the long description; CPack indents its lines and marks the empty one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "monitoring tool for base-station air conditioners over a serial port
AirConTool is the desktop tool of the field engineer of a telecom base
station. Connected to the air-conditioner controller through a serial port,
it polls the controller and shows the readings, switch states and alarms of
two air-conditioner units, reads and sets the user parameters, switches the
air conditioner on or off and reads the controller's version, address and
vendor information.

The package also contains ac_sim, a controller simulator for trying the tool
without hardware, and AirConPoll with its systemd unit, which polls the
controller around the clock for Prometheus through the node exporter.")
include(CPack)
