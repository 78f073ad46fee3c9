# The Debian package: in a Release build, `cpack -G DEB` makes
# tidewell_<version>_<arch>.deb with the program, dbfcheck and the settings
# file in /opt/tidewell. The settings file is a conffile (an edited one
# survives upgrades) readable by root only, since it holds the database
# password. Removing the package removes the service it registered.
set(CPACK_PACKAGE_NAME tidewell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Copies database rows into dBASE files for legacy xBase programs")
set(CPACK_PACKAGE_DESCRIPTION
    "Tidewell runs as the systemd service Kestrel. Every two minutes it reads mysqlconn.ini, connects \
through ODBC, and appends the unconverted rows of the weight and action tables to per-machine, \
per-day .dbf files on a file share, marking each row with the record number of its copy.")
set(CPACK_PACKAGE_CONTACT "Tidewell maintainers <tidewell@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/tidewell)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# The driver manager is loaded at run time, so nothing finds it by linking;
# the drivers are what mysqlconn.ini names.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libodbc2")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "odbc-mariadb, libsqliteodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_GENERATOR DEB)
include(CPack)
