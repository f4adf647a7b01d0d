# Installation to the system's places (GNUInstallDirs, prefix /usr) and the Debian package.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
include(GNUInstallDirs)

set(TARNWICK_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vantor/")
set(TARNWICK_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/vantor/")
set(TARNWICK_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/vantor/")
set(TARNWICK_UNIT_DIR "/lib/systemd/system")

# The registry and configuration an installed agent starts from: the templates of a private
# installation, with the system's folders.
set(generated "${CMAKE_BINARY_DIR}/installed")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${PROJECT_SOURCE_DIR}/etc/registry.reg" "${PROJECT_SOURCE_DIR}/etc/tarnwick.conf")
foreach(template registry.reg tarnwick.conf)
  file(READ "${PROJECT_SOURCE_DIR}/etc/${template}" text)
  string(REPLACE "@DIR@" "${TARNWICK_STATE_DIR}" text "${text}")
  string(REPLACE "@CONF@" "${TARNWICK_CONF_DIR}" text "${text}")
  string(REPLACE "@LOG@" "${TARNWICK_LOG_DIR}" text "${text}")
  string(REPLACE "@WORK@" "${TARNWICK_STATE_DIR}Tarnwick/" text "${text}")
  string(REPLACE "@POLL@" "PT5M" text "${text}")
  string(REPLACE "@DELIVERY@" "PT12H" text "${text}")
  file(WRITE "${generated}/${template}" "${text}")
endforeach()

# The manual pages, compressed as Debian has them; the configuration page takes its keys
# from the README.
set(pages man1/vantorctl.1 man1/tarnwick-report.1 man8/tarnwick.8 man8/vantor-procdrv.8 man5/tarnwick.conf.5)
set(compressed "")
foreach(page IN LISTS pages)
  get_filename_component(name "${page}" NAME)
  get_filename_component(section "${page}" DIRECTORY)
  set(roff "${generated}/${name}")
  if(name STREQUAL "tarnwick.conf.5")
    add_custom_command(OUTPUT "${roff}"
      COMMAND ${CMAKE_COMMAND} -DREADME=${PROJECT_SOURCE_DIR}/README.md
              -DTEMPLATE=${PROJECT_SOURCE_DIR}/man/${name}.in -DOUTPUT=${roff}
              -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/man/${name}.in
              ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake)
  else()
    add_custom_command(OUTPUT "${roff}"
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${name} ${roff}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${name})
  endif()
  add_custom_command(OUTPUT "${roff}.gz"
    COMMAND gzip -9nkf "${roff}"
    DEPENDS "${roff}")
  list(APPEND compressed "${roff}.gz")
  install(FILES "${roff}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/${section}")
endforeach()
add_custom_command(OUTPUT "${generated}/changelog.gz"
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${generated}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
add_custom_target(manpages ALL DEPENDS ${compressed} "${generated}/changelog.gz")

install(TARGETS tarnwick vantor-procdrv RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(TARGETS vantorctl tarnwick-report RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# The agent writes its registry: postinst copies this one into place once.
install(FILES "${generated}/registry.reg" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/tarnwick")
install(FILES "${generated}/tarnwick.conf"
              etc/primetime etc/accounts.conf etc/tarnwick_modpoller.conf
              etc/Tarnwick_Counters.conf etc/Tarnwick_ProcessRules.conf
        DESTINATION "${TARNWICK_CONF_DIR}")
install(DIRECTORY etc/LogMessages etc/components DESTINATION "${TARNWICK_CONF_DIR}")
install(FILES packaging/systemd/tarnwick.service packaging/systemd/vantor-procdrv.service
        DESTINATION "${TARNWICK_UNIT_DIR}")
install(FILES packaging/debian/copyright "${generated}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick")

# Every file under /etc but the registry is a conffile: an upgrade keeps the administrator's
# edits.
file(GLOB_RECURSE conf_sources CONFIGURE_DEPENDS RELATIVE "${PROJECT_SOURCE_DIR}/etc"
     "${PROJECT_SOURCE_DIR}/etc/LogMessages/*" "${PROJECT_SOURCE_DIR}/etc/components/*")
set(conffiles "")
foreach(file tarnwick.conf primetime accounts.conf tarnwick_modpoller.conf
             Tarnwick_Counters.conf Tarnwick_ProcessRules.conf ${conf_sources})
  string(APPEND conffiles "${TARNWICK_CONF_DIR}${file}\n")
endforeach()
file(WRITE "${generated}/conffiles" "${conffiles}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Tarnwick team <team@tarnwick.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "application-usage metering agent")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarnwick runs in the background and meters the use of applications: it\n\
learns when processes start and end, names the product behind each\n\
executable, maps users to site accounts, classes every start as prime or\n\
non-prime time, and writes usage records into data files that it hands over\n\
at fixed intervals. The package holds the agent, its process-event driver\n\
vantor-procdrv and the command tool vantorctl.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tarnwick.invalid/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/prerm;${PROJECT_SOURCE_DIR}/packaging/debian/postrm;${generated}/conffiles")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
include(CPack)
