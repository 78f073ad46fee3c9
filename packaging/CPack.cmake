# The Debian package: in a Release build configured with
# TIDEWELL_DEBIAN_LAYOUT=ON, `cpack -G DEB` makes tidewell_<version>_<arch>.deb
# laid out as DebianLayout.cmake says. Its maintainer scripts create the
# account tidewell, the log and state folders, and enable the unit with
# Debian's helpers; purge removes the log and the journals.
set(CPACK_PACKAGE_NAME tidewell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copies database rows into dBASE files for legacy xBase programs")
# One line each, as dpkg shows them.
set(CPACK_PACKAGE_DESCRIPTION "Tidewell runs as the systemd service Kestrel. Every two minutes it reads
its connection settings, connects to a database through ODBC, and appends
the unconverted rows of the tables weight and action to .dbf files on a
file share, one per machine and day, marking each row with the record
number of its copy. A journal makes every row reach its file exactly once.")
set(CPACK_PACKAGE_CONTACT "Tidewell maintainers <maintainers@tidewell.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# The driver manager is loaded at run time, so nothing finds it by linking;
# the drivers are what mysqlconn.ini names. adduser makes the account.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libodbc2, adduser")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "odbc-mariadb | libsqliteodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_GENERATOR DEB)
include(CPack)
