# Debian's layout, the program's own rules kept: it finds its settings, its
# log/ and its journal/ beside its executable, so the executable has a folder
# of its own, /usr/lib/tidewell, where those three names are links:
#
#   /usr/lib/tidewell/tidewell        the program
#   /usr/lib/tidewell/mysqlconn.ini -> /etc/tidewell/mysqlconn.ini (conffile)
#   /usr/lib/tidewell/log           -> /var/log/tidewell
#   /usr/lib/tidewell/journal       -> /var/lib/tidewell
#   /usr/sbin/tidewell              -> ../lib/tidewell/tidewell
#   /usr/bin/dbfcheck
#   /lib/systemd/system/Kestrel.service, the manuals, the copyright file,
#   the changelog and lintian's overrides
#
# The program follows the link on the PATH to its real folder (it reads its
# own path from the system, links resolved). /var/log/tidewell and
# /var/lib/tidewell are made by postinst, owned by the account tidewell.
if(WIN32)
  message(FATAL_ERROR "TIDEWELL_DEBIAN_LAYOUT is for Debian builds")
endif()
set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation folder" FORCE)

set(debian ${CMAKE_CURRENT_LIST_DIR}/debian)
set(staged ${PROJECT_BINARY_DIR}/debian-layout)
file(MAKE_DIRECTORY ${staged})

# The changelog speaks for this version: a release without its entry is not
# packaged.
file(STRINGS ${debian}/changelog first_entry LIMIT_COUNT 1)
if(NOT first_entry MATCHES "^tidewell \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog has no entry for ${PROJECT_VERSION} at its top: ${first_entry}")
endif()

foreach(link mysqlconn.ini:/etc/tidewell/mysqlconn.ini log:/var/log/tidewell journal:/var/lib/tidewell
             sbin-tidewell:../lib/tidewell/tidewell)
  string(REPLACE ":" ";" parts ${link})
  list(GET parts 0 name)
  list(GET parts 1 target)
  file(CREATE_LINK ${target} ${staged}/${name} SYMBOLIC)
endforeach()
install(FILES ${staged}/mysqlconn.ini ${staged}/log ${staged}/journal DESTINATION lib/tidewell)
install(FILES ${staged}/sbin-tidewell DESTINATION sbin RENAME tidewell)

# The settings: read by the service through its group (postinst gives the
# file to root:tidewell); nobody else.
install(FILES packaging/mysqlconn.ini DESTINATION /etc/tidewell
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES packaging/Kestrel.service DESTINATION /lib/systemd/system)

# Manuals and the changelog compressed as Debian wants them (no name, no
# time stamp in the gzip header, so that builds are reproducible).
find_program(GZIP gzip REQUIRED)
set(compressed)
foreach(page packaging/man/tidewell.8 packaging/man/dbfcheck.1 packaging/debian/changelog)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${staged}/${name}.gz
                     COMMAND ${GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/${page} > ${staged}/${name}.gz
                     DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${page} VERBATIM)
  list(APPEND compressed ${staged}/${name}.gz)
endforeach()
add_custom_target(debian_docs ALL DEPENDS ${compressed})
install(FILES ${staged}/tidewell.8.gz DESTINATION share/man/man8)
install(FILES ${staged}/dbfcheck.1.gz DESTINATION share/man/man1)
install(FILES ${staged}/changelog.gz ${debian}/copyright DESTINATION share/doc/tidewell)
install(FILES ${debian}/lintian-overrides DESTINATION share/lintian/overrides RENAME tidewell)

include(${CMAKE_CURRENT_LIST_DIR}/CPack.cmake)
