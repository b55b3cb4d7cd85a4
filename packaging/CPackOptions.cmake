# Per-generator settings, read by cpack for each generator in turn.
if(CPACK_GENERATOR STREQUAL "DEB")
  # Under /usr the loader and pkg-config find everything without configuration.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
endif()
