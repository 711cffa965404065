# Installation (GNUInstallDirs), pkg-config file, CMake package and the Debian packages.
# Components: "daemon" (dwmid, rs485sim, rs485ctl, unit, example configuration) and
# "library" (librs485.so.1 with its links, rs485.h, librs485.pc, the CMake package).
include(CMakePackageConfigHelpers)

# Fixed by the daemon and the library, whatever the install prefix.
set(RS485_CONF_DIR /usr/local/etc/vellib)
set(RS485_EXAMPLE_DIR ${CMAKE_INSTALL_FULL_DATADIR}/doc/rs485/examples)
set(RS485_EXAMPLE_DEST ${CMAKE_INSTALL_DATADIR}/doc/rs485/examples)
set(RS485_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rs485)

install(TARGETS dwmid RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(TARGETS rs485 EXPORT rs485Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/include/rs485.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT library)

# The .pc file finds its prefix from its own place, so a tree installed with --prefix or
# DESTDIR works wherever it lands.
file(RELATIVE_PATH RS485_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${PROJECT_SOURCE_DIR}/packaging/librs485.pc.in ${PROJECT_BINARY_DIR}/librs485.pc
    @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/librs485.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT library)

install(EXPORT rs485Targets NAMESPACE rs485:: DESTINATION ${RS485_CMAKE_DIR} COMPONENT library)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/rs485Config.cmake.in
    ${PROJECT_BINARY_DIR}/rs485Config.cmake INSTALL_DESTINATION ${RS485_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rs485ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rs485Config.cmake ${PROJECT_BINARY_DIR}/rs485ConfigVersion.cmake
    DESTINATION ${RS485_CMAKE_DIR} COMPONENT library)

configure_file(${PROJECT_SOURCE_DIR}/packaging/dwmid.service.in ${PROJECT_BINARY_DIR}/dwmid.service
    @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dwmid.service DESTINATION lib/systemd/system
    COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/dwmid.conf.example
    ${PROJECT_SOURCE_DIR}/packaging/dwlib.conf.example DESTINATION ${RS485_EXAMPLE_DEST}
    COMPONENT daemon)

# rs485mqtt is built where libmosquitto is found; its unit and example configuration go with
# the daemon.
set(RS485_CONF_NAMES dwmid dwlib)
if(TARGET rs485mqtt)
    list(APPEND RS485_CONF_NAMES rs485mqtt)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/rs485mqtt.service.in
        ${PROJECT_BINARY_DIR}/rs485mqtt.service @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/rs485mqtt.service DESTINATION lib/systemd/system
        COMPONENT daemon)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/rs485mqtt.conf.example
        DESTINATION ${RS485_EXAMPLE_DEST} COMPONENT daemon)
endif()

# cmake --install puts the examples in place as dwmid.conf and dwlib.conf unless they exist;
# an existing configuration is never overwritten. Packages leave this to their postinst, so
# that no file under /usr/local/etc becomes part of a package (the environment variable RS485_PACKAGING is 1 while
# CPack installs).
install(CODE "
if(NOT \"\$ENV{RS485_PACKAGING}\" STREQUAL \"1\")
    set(conf_dir \"\$ENV{DESTDIR}${RS485_CONF_DIR}\")
    foreach(name ${RS485_CONF_NAMES})
        if(EXISTS \"\${conf_dir}/\${name}.conf\")
            message(STATUS \"Kept existing: \${conf_dir}/\${name}.conf\")
        else()
            file(MAKE_DIRECTORY \"\${conf_dir}\")
            configure_file(\"${PROJECT_SOURCE_DIR}/packaging/\${name}.conf.example\"
                \"\${conf_dir}/\${name}.conf\" COPYONLY)
            message(STATUS \"Installing: \${conf_dir}/\${name}.conf\")
        endif()
    endforeach()
endif()" COMPONENT daemon)

# ---- Debian packages: cpack -G DEB in a tree configured with -DCMAKE_INSTALL_PREFIX=/usr ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rs485)
set(CPACK_PACKAGE_VENDOR "rs485 developers")
set(CPACK_PACKAGE_CONTACT "rs485 developers <rs485@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Shared access to RS-485 lines of an embedded controller")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Tools that install without a component (rs485sim) go with the daemon.
set(CPACK_COMPONENTS_ALL daemon library Unspecified)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_DAEMON_GROUP dwmid)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP dwmid)
set(CPACK_COMPONENT_LIBRARY_GROUP librs485)
set(CPACK_COMPONENT_DWMID_DESCRIPTION
    "RS-485 line daemon dwmid with the tools rs485ctl and rs485sim")
set(CPACK_COMPONENT_LIBRS485_DESCRIPTION "librs485.so.1, its header, pkg-config file and CMake package")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# rs485ctl links librs485 from the other package of this build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_DWMID_PACKAGE_NAME dwmid)
set(CPACK_DEBIAN_DWMID_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_DWMID_PACKAGE_DEPENDS "librs485 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBRS485_PACKAGE_NAME librs485)
set(CPACK_DEBIAN_LIBRS485_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRS485_PACKAGE_GENERATE_SHLIBS ON)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_BINARY_DIR}/deb/postinst @ONLY)
set(CPACK_DEBIAN_DWMID_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_DWMID_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Installation and package tests; they build and run host programs, so not when cross-building.
if(RS485_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING)
    add_test(NAME install_tree_test COMMAND ${PROJECT_SOURCE_DIR}/scripts/sandbox
        ${PROJECT_SOURCE_DIR}/tests/install/install_test.sh ${PROJECT_SOURCE_DIR}
        ${PROJECT_BINARY_DIR})
    add_test(NAME install_deb_test COMMAND ${PROJECT_SOURCE_DIR}/scripts/sandbox
        ${PROJECT_SOURCE_DIR}/tests/install/deb_test.sh ${PROJECT_BINARY_DIR})
    # Both install from the build tree, so they do not run beside each other.
    set_tests_properties(install_tree_test install_deb_test PROPERTIES TIMEOUT 900
        RESOURCE_LOCK rs485_build_tree)
endif()
