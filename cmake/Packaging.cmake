# The Debian package, made by CPack from what `cmake --install` installs, under
# /usr: `cmake --workflow --preset package` (or `package-static` for the static
# kuvo, which depends on nothing). Building it needs dpkg-dev, whose
# dpkg-shlibdeps works out the dynamic kuvo's dependencies.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kuvo)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Seed 7fd9bdf2 maintainers")
set(CPACK_PACKAGE_CONTACT "${KUVO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SFV check of FTP uploads, run by the upload server")
set(CPACK_PACKAGE_DESCRIPTION
    "kuvo is run by an FTP upload server after every completed upload into a
release directory. It verifies the upload's CRC-32 against the directory's
SFV file, lays out and clears missing markers, computes how complete the
release is and publishes that progress (console, status directory, status
files, announce file).
This package holds kuvo, its man pages, wrappers with configuration
snippets for ProFTPD (mod_exec) and pure-ftpd (pure-uploadscript), and a
systemd unit (not enabled) for kuvo --watch, which checks uploads of servers
without hooks (OpenSSH SFTP, vsftpd, rsync).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# CPack asks dpkg for the architecture, which names the build machine's; a
# cross build's package is for its target, which Debian calls arm64.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "proftpd-core | pure-ftpd")
if(NOT KUVO_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# Removal leaves the servers' hooks configured: postrm says so.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack_checks.cmake")
set(CPACK_STRIP_FILES ON)
# CPack installs into its staging directory through DESTDIR, with this as the
# prefix: the texts filled in at install time name the package's paths.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_CUSTOM_INSTALL_VARIABLES KUVO_DEBIAN_LAYOUT=ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
