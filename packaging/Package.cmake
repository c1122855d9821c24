# The Debian package, made by CPack's DEB generator from the install rules of
# packaging/Install.cmake (scripts/package.sh runs it on a Release build).
#
# CPack rather than a debian/ folder with debhelper: the layout has one
# description, the install rules that "cmake --install" follows too, and the
# version is the project's own; dpkg-shlibdeps finds the dependencies as
# debhelper would. What debhelper would add by itself (the maintainer
# scripts for the units, the copyright and changelog files, stripping) is
# written out here and in packaging/deb/, where it can be read in one place.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qrvupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Qorvane Update developers <qrvupdate@qorvane.invalid>")
set(CPACK_PACKAGE_VENDOR "Qorvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "update service of the Qorvane office suite")
set(CPACK_PACKAGE_DESCRIPTION
  "Qorvane Update finds which installed Qorvane products have a newer update on
an update server (HTTP with a service query, FTP, or a network folder),
downloads the update files, verifies their Authenticode signatures, unpacks
the signed cabinets into the products' folders and records the new update
levels. Files that cannot be replaced while the system runs are put in place
early at the next boot.
.
The update window and the automatic run at log-on (with an icon in the
notification area) run as the desktop user; the work that needs root is done
by a small engine service that systemd starts through its socket when a
window connects. qrvupdate --console runs a whole update in a terminal, and
qrvctl administers the settings store.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies of the programs, as dpkg-shlibdeps finds them (it reads the
# ELF files; needs dpkg-dev and file). libsmbclient is opened at run time
# only when an SMB share is used, so no link names it: it is recommended, as
# a network-folder server is one of the three kinds an installation may use.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window cannot open without Qt's platform plugins (libqt6gui6 only
# recommends them). Without systemd the programs still run as root or in a
# sandbox root, but the engine service and the boot run of the queue need
# it; a Wayland session without qt6-wayland shows the window through
# XWayland; the program starts of an update go through xdg-open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd, qt6-wayland, xdg-utils, libsmbclient")
set(CPACK_STRIP_FILES ON)
# Modes of the folders CPack makes on its own: 0755, whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The maintainer scripts and the list of configuration files: the log-on
# entry in /etc, shipped disabled. "Use Auto Update" rewrites it and turning
# that off removes it; dpkg takes either for the administrator's choice and
# keeps it through upgrades without a question as long as the shipped text
# stays the same (a changed text would make dpkg ask), and removes it on
# purge.
set(qrv_deb ${QRV_PACKAGING_DIR}/deb)
set(qrv_deb_out ${QRV_PACKAGING_OUT}/deb)
file(WRITE ${qrv_deb_out}/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart/qrvupdate.desktop\n")
foreach(script postinst prerm postrm)
  file(COPY ${qrv_deb}/${script} DESTINATION ${qrv_deb_out}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${qrv_deb_out}/conffiles ${qrv_deb_out}/postinst ${qrv_deb_out}/prerm ${qrv_deb_out}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian's copyright file and, for a package whose version is the
# project's, a changelog; dated by SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP qrv_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(qrv_package_version ${PROJECT_VERSION})
set(qrv_package_contact ${CPACK_PACKAGE_CONTACT})
configure_file(${qrv_deb}/changelog.in ${qrv_deb_out}/changelog @ONLY)
if(QRV_GZIP)
  add_custom_command(OUTPUT ${qrv_deb_out}/changelog.gz
    COMMAND ${QRV_GZIP} -9 -n -c ${qrv_deb_out}/changelog > ${qrv_deb_out}/changelog.gz
    DEPENDS ${qrv_deb_out}/changelog
    COMMENT "Compressing the package changelog")
  add_custom_target(qrv_deb_changelog ALL DEPENDS ${qrv_deb_out}/changelog.gz)
  install(FILES ${qrv_deb}/copyright ${qrv_deb_out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qrvupdate)
endif()

include(CPack)
