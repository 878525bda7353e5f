# Read by CPack as it builds a package. The dynamic kuvo's dependencies come
# from dpkg-shlibdeps; without it CPack would quietly build a package that
# depends on nothing.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
  find_program(KUVO_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT KUVO_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps is missing: install dpkg-dev to build the package")
  endif()
endif()
