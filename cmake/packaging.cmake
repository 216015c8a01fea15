# Installed as desktop PKCS#11 modules are: the library in the multiarch
# pkcs11/ folder (/usr/lib/<triplet>/pkcs11/libkvp11.so), a p11-kit module
# file naming it (/usr/share/p11-kit/modules/kvp11.module), so that p11-kit,
# p11-kit-proxy.so and the programs that ask p11-kit (GnuTLS, NSS through
# p11-kit-proxy, OpenSSH's PKCS11Provider) find it, and the README as its
# documentation. `cpack -G DEB` packs the same files.
include(GNUInstallDirs)
install(TARGETS ${KV_MODULE_NAME} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkcs11 COMPONENT module)
set(KV_INSTALLED_MODULE ${CMAKE_INSTALL_FULL_LIBDIR}/pkcs11/lib${KV_MODULE_NAME}.so)
configure_file(${CMAKE_SOURCE_DIR}/packaging/kvp11.module.in ${CMAKE_BINARY_DIR}/kvp11.module @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kvp11.module DESTINATION ${CMAKE_INSTALL_DATADIR}/p11-kit/modules
        COMPONENT module)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT module)

set(CPACK_PACKAGE_NAME kvp11)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "kvp11 developers <kvp11@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PKCS#11 module for the USB smart-card token")
set(CPACK_COMPONENTS_ALL module)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(kv_depends "libc6, libstdc++6, libgcc-s1, libssl3, libmbedcrypto7, libmbedx509-1")
if(KV_PCSC)
  string(APPEND kv_depends ", libpcsclite1")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${kv_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "p11-kit-modules")
include(CPack)
