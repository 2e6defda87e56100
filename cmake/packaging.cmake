# Installed files beyond the programs, and the packages CPack makes of them:
# on Linux two Debian packages (components "app" and "server"), on Windows an
# installer and a portable .zip of the program.

set(ZANDREL_PACKAGE_MAINTAINER "Zandrel developers <zandrel@example.org>"
    CACHE STRING "Maintainer named in the packages")
include(GNUInstallDirs)
set(pkg_dir ${PROJECT_SOURCE_DIR}/packaging)
set(gen_dir ${PROJECT_BINARY_DIR}/packaging)

set(CPACK_PACKAGE_NAME zandrel)
set(CPACK_PACKAGE_VENDOR "Zandrel developers")
set(CPACK_PACKAGE_CONTACT "${ZANDREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

if(NOT WIN32)
  find_program(GZIP_PROGRAM gzip REQUIRED)
  string(TIMESTAMP ZANDREL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

  # Man pages and changelogs are installed compressed (gzip -n: no time stamp).
  function(zandrel_gzipped_file source output)
    add_custom_command(OUTPUT ${output}
      COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${output}
      DEPENDS ${source} VERBATIM)
  endfunction()
  set(gz_files)
  foreach(page zandrel.1 zandrel-report-server.8 zandrel-desk.1)
    configure_file(${pkg_dir}/man/${page} ${gen_dir}/${page} @ONLY)
    zandrel_gzipped_file(${gen_dir}/${page} ${gen_dir}/${page}.gz)
    list(APPEND gz_files ${gen_dir}/${page}.gz)
  endforeach()
  foreach(ZANDREL_DEB_PACKAGE zandrel zandrel-report-server)
    set(dir ${gen_dir}/doc/${ZANDREL_DEB_PACKAGE})
    configure_file(${pkg_dir}/deb/changelog.in ${dir}/changelog @ONLY)
    configure_file(${pkg_dir}/deb/copyright ${dir}/copyright @ONLY)
    zandrel_gzipped_file(${dir}/changelog ${dir}/changelog.gz)
    list(APPEND gz_files ${dir}/changelog.gz)
  endforeach()
  add_custom_target(zandrel_package_files ALL DEPENDS ${gz_files})

  install(FILES ${gen_dir}/zandrel.1.gz DESTINATION share/man/man1 COMPONENT app)
  install(FILES ${gen_dir}/doc/zandrel/changelog.gz ${gen_dir}/doc/zandrel/copyright
          DESTINATION share/doc/zandrel COMPONENT app)
  install(FILES ${gen_dir}/zandrel-report-server.8.gz DESTINATION share/man/man8 COMPONENT server)
  install(FILES ${gen_dir}/zandrel-desk.1.gz DESTINATION share/man/man1 COMPONENT server)
  install(FILES ${gen_dir}/doc/zandrel-report-server/changelog.gz ${gen_dir}/doc/zandrel-report-server/copyright
          DESTINATION share/doc/zandrel-report-server COMPONENT server)
  configure_file(${pkg_dir}/zandrel-report-server.service.in ${gen_dir}/zandrel-report-server.service @ONLY)
  install(FILES ${gen_dir}/zandrel-report-server.service DESTINATION lib/systemd/system COMPONENT server)
  configure_file(${pkg_dir}/zandrel-desk.service.in ${gen_dir}/zandrel-desk.service @ONLY)
  install(FILES ${gen_dir}/zandrel-desk.service DESTINATION lib/systemd/system COMPONENT server)
  install(FILES ${pkg_dir}/examples/zandrel-desk.nginx
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zandrel-report-server/examples COMPONENT server)
  # /etc/default when the prefix is /usr (as for the packages).
  install(FILES ${pkg_dir}/zandrel-report-server.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
          RENAME zandrel-report-server COMPONENT server)

  set(CPACK_GENERATOR DEB)
  # The unit names the installed paths: build the packages with the prefix /usr.
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Debian packages want -DCMAKE_INSTALL_PREFIX=/usr (now ${CMAKE_INSTALL_PREFIX})")
  endif()
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL app server)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Each package's description: its own synopsis, then the body, written
  # without indent: CPack starts each body line with one space (a paragraph
  # that apt wraps; an indent of its own would make the line verbatim, and
  # CPack strips the last line's). CPACK_PACKAGE_DESCRIPTION_SUMMARY stays
  # unset here: CPack would put it in front of both, turning each synopsis
  # into a body line.
  set(CPACK_DEBIAN_APP_PACKAGE_NAME zandrel)
  set(CPACK_DEBIAN_APP_DESCRIPTION "machine and network check for a live-broadcast client
Zandrel builds a plain-text report about the machine and its network for the
support team of a live-broadcast client: network adapters, loaded program
files, CPU load, free disk space, reachability of the report server, download
speed and the client's local service. It runs as a dialog or in a terminal
(--console) and posts the report to the report server.")
  set(CPACK_DEBIAN_SERVER_PACKAGE_NAME zandrel-report-server)
  set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_SERVER_DESCRIPTION "report server for the Zandrel checking tool
The server that zandrel talks to: it answers UDP probes, stores the posted
reports (one file each, written atomically) and serves the hint page and a
speed-test file. It comes with a hardened systemd service that keeps its
data in /var/lib/zandrel, and with zandrel-desk, the command line that
searches the stored reports, shows one and rebuilds their index, and the
web pages where support staff log in to find and read them (a second
hardened service on 127.0.0.1:8080, with an nginx site to put it behind
TLS).")
  set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
      ${pkg_dir}/deb/conffiles ${pkg_dir}/deb/postinst ${pkg_dir}/deb/prerm ${pkg_dir}/deb/postrm)
endif()

if(WIN32)
  # The version resource of zandrel.exe.
  enable_language(RC)
  configure_file(${pkg_dir}/windows/version.rc.in ${gen_dir}/version.rc @ONLY)
  target_sources(zandrel PRIVATE ${gen_dir}/version.rc)

  # An installer and a portable .zip holding the program only (not the server).
  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};zandrel;app;/")
  # The installer itself has the program's architecture (a Unicode build, so
  # that the Chinese texts show on any system code page).
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(nsis_target amd64-unicode)
  else()
    set(CPACK_SYSTEM_NAME win32)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
    set(nsis_target x86-unicode)
  endif()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Machine and network check for the live-broadcast client")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Zandrel)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Zandrel)
  set(CPACK_NSIS_PACKAGE_NAME Zandrel)
  set(CPACK_NSIS_DISPLAY_NAME Zandrel)
  # The licence page shows the project's own copyright notice (the one of the
  # Debian packages' copyright file), in English and Chinese.
  set(CPACK_RESOURCE_FILE_LICENSE ${pkg_dir}/windows/copyright.txt)
  # The last page offers to run the program.
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY bin)
  set(CPACK_NSIS_MUI_FINISHPAGE_RUN zandrel.exe)
  # The Start-menu shortcut to bin\zandrel.exe, named in the installer's
  # language (the string ZandrelShortcut, defined with the languages below);
  # the uninstaller removes it under either name.
  set(shortcut_en "Zandrel")
  set(shortcut_zh "Zandrel 网络检测")
  # (CPack writes these into its configuration file unescaped and reads them
  # back: single quotes for NSIS, and each backslash doubled once more.)
  set(CPACK_NSIS_CREATE_ICONS_EXTRA
      "  CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\$(ZandrelShortcut).lnk' '$INSTDIR\\\\bin\\\\zandrel.exe'")
  set(CPACK_NSIS_DELETE_ICONS_EXTRA
      "  Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\${shortcut_en}.lnk'\n  Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\${shortcut_zh}.lnk'")
  set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\zandrel.exe")
  set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/data/zandrel.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/data/zandrel.ico)

  # The installer speaks Chinese on a Chinese Windows and English on any other:
  # CMake's installer script with its language list cut down to these two
  # (the first one is what NSIS falls back to).
  file(READ ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in nsis_script)
  string(REGEX REPLACE "(  !insertmacro MUI_LANGUAGE \"[A-Za-z]+\"[^\n]*\n)+"
         "  !insertmacro MUI_LANGUAGE \"English\"\n  !insertmacro MUI_LANGUAGE \"SimpChinese\"\n\
  LangString ZandrelShortcut \${LANG_ENGLISH} \"${shortcut_en}\"\n\
  LangString ZandrelShortcut \${LANG_SIMPCHINESE} \"${shortcut_zh}\"\n"
         nsis_script "${nsis_script}")
  string(FIND "${nsis_script}" "MUI_LANGUAGE \"SimpChinese\"" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "CMake's NSIS script has changed: no language list found")
  endif()
  # The target goes after the first line (a comment behind a byte-order mark).
  string(FIND "${nsis_script}" "\n" eol)
  math(EXPR eol "${eol} + 1")
  string(SUBSTRING "${nsis_script}" 0 ${eol} first_line)
  string(SUBSTRING "${nsis_script}" ${eol} -1 nsis_script)
  file(WRITE ${gen_dir}/nsis/NSIS.template.in "${first_line}Target ${nsis_target}\n${nsis_script}")
  list(PREPEND CMAKE_MODULE_PATH ${gen_dir}/nsis)
endif()

include(CPack)
