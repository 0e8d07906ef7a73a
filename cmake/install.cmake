# What `cmake --install` puts where, and the packages made of it
# (docs/install.md):
#   Linux    cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr
#   Windows  cpack -G ZIP, and the target 'installer' (NSIS,
#            packaging/windows/vantry.nsi)
# Paths that are absolute in the installed files (the units' ExecStart,
# the configuration folder) are fixed when the build is configured.
include(GNUInstallDirs)

set(VANTRY_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vantry_remote)  # /etc/vantry_remote for /usr
set(VANTRY_BIN_DIR ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  set(VANTRY_BIN_DIR .)  # one folder: programs, README, sample configuration
endif()
install(TARGETS vantry_remote RUNTIME DESTINATION ${VANTRY_BIN_DIR})
if(TARGET vantry_collector)
  install(TARGETS vantry_collector RUNTIME DESTINATION ${VANTRY_BIN_DIR})
endif()

# Wireshark's extcap folder makes the collector its capture interface
# 'vantry' (docs/collector.md). The folder is relative to the install
# prefix, or absolute: Debian's Wireshark looks in /usr/lib/<multiarch>/
# wireshark/extcap, which the default is when the prefix is /usr. On Linux
# a link to the program goes there; on Windows a copy, when the folder is
# named (Wireshark's own, C:/Program Files/Wireshark/extcap, is not ours).
set(VANTRY_EXTCAP_DEFAULT ${CMAKE_INSTALL_LIBDIR}/wireshark/extcap)
if(WIN32)
  set(VANTRY_EXTCAP_DEFAULT "")
endif()
set(VANTRY_EXTCAP_DIR ${VANTRY_EXTCAP_DEFAULT} CACHE STRING
    "Folder where Wireshark looks for external capture programs (relative to the install prefix, or absolute; empty: none)")
if(TARGET vantry_collector AND VANTRY_EXTCAP_DIR)
  if(WIN32)
    install(TARGETS vantry_collector RUNTIME DESTINATION ${VANTRY_EXTCAP_DIR})
  else()
    # Made when installing, so that a prefix given to cmake --install holds.
    install(CODE "
      set(extcap \"${VANTRY_EXTCAP_DIR}\")
      if(NOT IS_ABSOLUTE \"\${extcap}\")
        set(extcap \"\${CMAKE_INSTALL_PREFIX}/\${extcap}\")
      endif()
      file(RELATIVE_PATH to \"\${extcap}\" \"\${CMAKE_INSTALL_PREFIX}/${VANTRY_BIN_DIR}/vantry_collector\")
      set(link \"\$ENV{DESTDIR}\${extcap}/vantry_collector\")
      message(STATUS \"Installing: \${link} -> \${to}\")
      file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${extcap}\")
      file(REMOVE \"\${link}\")
      file(CREATE_LINK \"\${to}\" \"\${link}\" SYMBOLIC)
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${extcap}/vantry_collector\")")
  endif()
endif()

# The sample configuration. It holds the key: owner read-write, group read
# (the package gives the group to the services' user). An operator's
# edited copy is never replaced: the package marks it a conffile, and
# cmake --install leaves an existing one alone.
set(VANTRY_CONF_FILES ${CMAKE_SOURCE_DIR}/packaging/vantry_remote.conf)
if(NOT WIN32)
  list(APPEND VANTRY_CONF_FILES ${CMAKE_SOURCE_DIR}/packaging/vantry_collector.conf)
endif()
set(VANTRY_CONF_DEST ${VANTRY_CONF_DIR})
# Where the samples say the key files go: beside the configuration.
set(VANTRY_KEY_DIR ${VANTRY_CONF_DIR})
if(WIN32)
  set(VANTRY_CONF_DEST .)
  set(VANTRY_KEY_DIR "C:/Program Files/Vantry")
endif()
foreach(template IN LISTS VANTRY_CONF_FILES)
  get_filename_component(name ${template} NAME)
  set(conf ${CMAKE_BINARY_DIR}/packaging/${name})
  configure_file(${template} ${conf} @ONLY)
  install(CODE "
    set(dir \"${VANTRY_CONF_DEST}\")
    if(NOT IS_ABSOLUTE \"\${dir}\")
      set(dir \"\${CMAKE_INSTALL_PREFIX}/\${dir}\")
    endif()
    if(EXISTS \"\$ENV{DESTDIR}\${dir}/${name}\")
      message(STATUS \"Kept: \$ENV{DESTDIR}\${dir}/${name} (never replaced)\")
    else()
      file(INSTALL \"${conf}\" DESTINATION \"\${dir}\"  # DESTDIR: added by file(INSTALL)
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
    endif()")
endforeach()

if(WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/windows/README-windows.txt DESTINATION .)
else()
  # systemd units, never enabled by installing: the tap must not capture
  # before it is configured.
  set(VANTRY_UNIT_DIR lib/systemd/system CACHE STRING
      "Folder of the systemd units (relative to the install prefix, or absolute)")
  set(VANTRY_FULL_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
  foreach(unit vantry_remote.service vantry_collector.service)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/${unit}.in ${CMAKE_BINARY_DIR}/packaging/${unit} @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${unit} DESTINATION ${VANTRY_UNIT_DIR})
  endforeach()

  # Manual pages, from scdoc sources; without scdoc the build goes on
  # without them.
  find_program(VANTRY_SCDOC scdoc)
  if(VANTRY_SCDOC)
    set(pages)
    foreach(page vantry_remote.8 vantry_collector.8)
      set(src ${CMAKE_SOURCE_DIR}/docs/man/${page}.scd)
      set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
      add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND sh -c "'${VANTRY_SCDOC}' <'${src}' | gzip -9n >'${out}.tmp' && mv '${out}.tmp' '${out}'"
        DEPENDS ${src} VERBATIM)
      list(APPEND pages ${out})
    endforeach()
    add_custom_target(vantry_man ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  else()
    message(STATUS "scdoc not found: the manual pages are neither built nor installed")
  endif()
endif()

set(CPACK_PACKAGE_NAME vantry)
set(CPACK_PACKAGE_VENDOR "Vantry developers")
set(CPACK_PACKAGE_CONTACT "Vantry developers <vantry@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote network tap and its collector")
set(CPACK_PACKAGE_DESCRIPTION "vantry_remote captures frames on an interface or receives TZSP, \
encrypts them in batches and sends them over UDP to a collector; vantry_collector writes them \
as pcapng, one interface per tap, into rotated files, a TAP interface or Wireshark.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vantry-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  # /etc and the units' folder are absolute: stage under DESTDIR.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # libpcap and whatever else the programs link
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)  # postinst makes the user vantry
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
  set(debian ${CMAKE_BINARY_DIR}/packaging/debian)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/conffiles.in ${debian}/conffiles @ONLY)
  foreach(script postinst prerm postrm)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/${script}.in ${debian}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${debian}/conffiles ${debian}/postinst ${debian}/prerm ${debian}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/cpack_checks.cmake.in ${CMAKE_BINARY_DIR}/cpack_checks.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack_checks.cmake)
endif()
include(CPack)

if(WIN32)
  # The installer: what cmake --install puts into one folder, packed by
  # makensis (Debian's nsis) into build/vantry-VERSION-win64-setup.exe.
  find_program(VANTRY_MAKENSIS makensis)
  if(VANTRY_MAKENSIS)
    set(stage ${CMAKE_BINARY_DIR}/installer-stage)
    set(setup ${CMAKE_BINARY_DIR}/vantry-${PROJECT_VERSION}-win64-setup.exe)
    add_custom_target(installer
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
      COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${stage} --strip
      COMMAND ${VANTRY_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${stage} -DOUTFILE=${setup}
              ${CMAKE_SOURCE_DIR}/packaging/windows/vantry.nsi
      DEPENDS vantry_remote vantry_collector VERBATIM)
  endif()
endif()
