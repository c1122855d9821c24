# How the programs lie on a real system ("cmake --install" and the Debian
# package that scripts/package.sh makes from the same rules):
#
#   bin/qrvupdate, bin/qrvctl                the commands people run
#   libexec/qrvupdate/qrvupdate-engine       the engine service's program (the
#                                            units name this path)
#   <systemd unit folder>/qrvupdate-engine.socket, .service,
#                         qrvupdate-pending.service
#   <tmpfiles folder>/qrvupdate.conf         /var/lib, /var/cache and /var/log
#                                            /qrvupdate, 0700 root
#   share/applications/qrvupdate.desktop     the menu entry ("Qorvane Update")
#   share/icons/hicolor/*/apps/qrvupdate.*   the program icon: the SVG and PNGs
#                                            rendered from it here
#   share/metainfo/com.qorvane.qrvupdate.metainfo.xml
#                                            what software centres show
#   /etc/xdg/autostart/qrvupdate.desktop     the log-on entry, disabled; the
#                                            settings dialog rewrites it
#   share/man/man1/qrvupdate.1.gz, man8/qrvctl.8.gz
#   share/bash-completion/completions/qrvupdate, qrvctl
#
# The units and the menu entry name /usr/bin and /usr/libexec; with another
# prefix the installed units name the programs where they are installed.
#
# The man pages need scdoc and the PNG icons rsvg-convert (librsvg2-bin). A
# build without them leaves those files out with a warning; QRV_PACKAGE=ON
# (scripts/package.sh) demands them, so a package is never short of them.
include(GNUInstallDirs)

option(QRV_PACKAGE "Configure for the Debian package: the man pages and icons are required" OFF)

set(QRV_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QRV_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)

# A missing tool: fatal for a package, a warning otherwise.
function(qrv_packaging_tool_missing what)
  if(QRV_PACKAGE)
    message(FATAL_ERROR "packaging: ${what}")
  else()
    message(WARNING "packaging: ${what}; \"cmake --install\" leaves those files out")
  endif()
endfunction()

# --- programs ---
install(TARGETS qrvupdate qrvctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qrvupdate-engine RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/qrvupdate)

# --- systemd units and tmpfiles ---
# Where this system's systemd looks, when the programs go below /usr; below
# the prefix otherwise (systemd reads /usr/local/lib/systemd/system too).
# Folders outside the prefix are absolute and those below it relative, so
# "cmake --install --prefix" moves only the latter (the units keep naming
# the programs where the configured prefix puts them).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  pkg_get_variable(QRV_SYSTEMD_UNIT_DIR_DEFAULT systemd systemdsystemunitdir)
  pkg_get_variable(QRV_TMPFILES_DIR_DEFAULT systemd tmpfilesdir)
  # /etc, not /usr/etc
  set(QRV_AUTOSTART_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)
else()
  set(QRV_AUTOSTART_DIR ${CMAKE_INSTALL_SYSCONFDIR}/xdg/autostart)
endif()
if(NOT QRV_SYSTEMD_UNIT_DIR_DEFAULT)
  set(QRV_SYSTEMD_UNIT_DIR_DEFAULT lib/systemd/system)
endif()
if(NOT QRV_TMPFILES_DIR_DEFAULT)
  set(QRV_TMPFILES_DIR_DEFAULT lib/tmpfiles.d)
endif()
set(QRV_SYSTEMD_UNIT_DIR ${QRV_SYSTEMD_UNIT_DIR_DEFAULT} CACHE STRING "Where the systemd units are installed (relative: below the prefix)")
set(QRV_TMPFILES_DIR ${QRV_TMPFILES_DIR_DEFAULT} CACHE STRING "Where the tmpfiles.d file is installed (relative: below the prefix)")

# The units as written name /usr/bin and /usr/libexec/qrvupdate; copies that
# name the installed programs are made at configure time (the same text when
# the prefix is /usr).
set(qrv_bin ${CMAKE_INSTALL_FULL_BINDIR})
set(qrv_libexec ${CMAKE_INSTALL_FULL_LIBEXECDIR}/qrvupdate)
foreach(unit qrvupdate-engine.socket qrvupdate-engine.service qrvupdate-pending.service)
  file(READ ${QRV_PACKAGING_DIR}/systemd/${unit} text)
  string(REPLACE "/usr/libexec/qrvupdate/" "${qrv_libexec}/" text "${text}")
  string(REPLACE "ExecStart=/usr/bin/" "ExecStart=${qrv_bin}/" text "${text}")
  file(CONFIGURE OUTPUT ${QRV_PACKAGING_OUT}/systemd/${unit} CONTENT "${text}" @ONLY)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${QRV_PACKAGING_DIR}/systemd/${unit})
  install(FILES ${QRV_PACKAGING_OUT}/systemd/${unit} DESTINATION ${QRV_SYSTEMD_UNIT_DIR})
endforeach()
install(FILES ${QRV_PACKAGING_DIR}/tmpfiles/qrvupdate.conf DESTINATION ${QRV_TMPFILES_DIR})

# --- desktop: menu entry, log-on entry, AppStream, icons ---
configure_file(${QRV_PACKAGING_DIR}/desktop/qrvupdate.desktop.in
  ${QRV_PACKAGING_OUT}/desktop/qrvupdate.desktop @ONLY)
install(FILES ${QRV_PACKAGING_OUT}/desktop/qrvupdate.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${QRV_PACKAGING_DIR}/desktop/qrvupdate-autostart.desktop.in
  ${QRV_PACKAGING_OUT}/desktop/autostart/qrvupdate.desktop @ONLY)
install(FILES ${QRV_PACKAGING_OUT}/desktop/autostart/qrvupdate.desktop DESTINATION ${QRV_AUTOSTART_DIR})
# AppStream wants a reverse-DNS id; the launchable names the menu entry,
# whose name the window gives Wayland and X11 as its application id.
# The release date is the build's, or SOURCE_DATE_EPOCH's.
string(TIMESTAMP qrv_release_date "%Y-%m-%d" UTC)
configure_file(${QRV_PACKAGING_DIR}/desktop/qrvupdate.metainfo.xml.in
  ${QRV_PACKAGING_OUT}/desktop/com.qorvane.qrvupdate.metainfo.xml @ONLY)
install(FILES ${QRV_PACKAGING_OUT}/desktop/com.qorvane.qrvupdate.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The program icon is the one its windows show (res/art/128.svg).
set(qrv_icon_svg ${PROJECT_SOURCE_DIR}/res/art/128.svg)
set(qrv_icon_dir ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${qrv_icon_svg} DESTINATION ${qrv_icon_dir}/scalable/apps RENAME qrvupdate.svg)
find_program(QRV_RSVG_CONVERT rsvg-convert)
set(qrv_generated)
if(QRV_RSVG_CONVERT)
  foreach(size 16 22 24 32 48 64 128 256)
    set(png ${QRV_PACKAGING_OUT}/icons/${size}x${size}/qrvupdate.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${QRV_PACKAGING_OUT}/icons/${size}x${size}
      COMMAND ${QRV_RSVG_CONVERT} --width=${size} --height=${size} --format=png --output=${png} ${qrv_icon_svg}
      DEPENDS ${qrv_icon_svg}
      COMMENT "Rendering the ${size}x${size} program icon"
      VERBATIM)
    list(APPEND qrv_generated ${png})
    install(FILES ${png} DESTINATION ${qrv_icon_dir}/${size}x${size}/apps)
  endforeach()
else()
  qrv_packaging_tool_missing("rsvg-convert (librsvg2-bin) is missing: no PNG icons")
endif()

# --- man pages (scdoc sources), compressed as Debian installs them ---
find_program(QRV_SCDOC scdoc)
find_program(QRV_GZIP gzip)
if(QRV_SCDOC AND QRV_GZIP)
  foreach(page qrvupdate.1 qrvctl.8)
    string(REGEX MATCH "[0-9]$" section ${page})
    set(source ${QRV_PACKAGING_DIR}/man/${page}.scd)
    set(roff ${QRV_PACKAGING_OUT}/man/${page})
    # gzip -n: no name or time stamp in the archive, so builds compare equal
    add_custom_command(OUTPUT ${roff}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${QRV_PACKAGING_OUT}/man
      COMMAND ${QRV_SCDOC} < ${source} > ${roff}
      COMMAND ${QRV_GZIP} -9 -n -f ${roff}
      DEPENDS ${source}
      COMMENT "Writing the man page ${page}")
    list(APPEND qrv_generated ${roff}.gz)
    install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
else()
  qrv_packaging_tool_missing("scdoc or gzip is missing: no man pages")
endif()
if(qrv_generated)
  add_custom_target(qrv_install_files ALL DEPENDS ${qrv_generated})
endif()

# --- shell completion ---
install(FILES ${QRV_PACKAGING_DIR}/completion/qrvupdate ${QRV_PACKAGING_DIR}/completion/qrvctl
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# --- the Debian package ---
include(${QRV_PACKAGING_DIR}/Package.cmake)
