# Installation (GNUInstallDirs), pkg-config file, CMake package and the Debian packages.
#
# Component    package        contents
# daemon       dwmid          dwmid, the tools, systemd units, configuration templates, man pages
# (none)       dwmid          whatever installs without a component (the tools under tools/)
# library      librs485-1     librs485.so.1 and the file it points to
# dev          librs485-dev   rs485.h, rs485_version.h, librs485.so, librs485.pc, the CMake
#                             package, the section 3 man pages (docs/man3)
# mqtt         rs485mqtt      rs485mqtt with its unit, man page and template (files named
#                             rs485mqtt.*), so that dwmid does not need libmosquitto
#
# Adding a program to the dwmid package: install it without a component (or with COMPONENT
# daemon), put its man page in docs/NAME.SECTION, a systemd unit in packaging/NAME.service.in
# and a configuration template in packaging/NAME.conf.example, and add each to its list below.
# Files named rs485mqtt.* go to the bridge's package.
include(CMakePackageConfigHelpers)

option(RS485_INSTALL_CONFIG
    "cmake --install copies the configuration templates to /usr/local/etc/vellib where missing"
    ON)
option(RS485_PACKAGE_DBGSYM "cpack also makes -dbgsym packages with the debug symbols" OFF)

# The postinst copies the templates from here; /usr/share/doc may be left out of embedded
# images, so they do not live there.
set(RS485_TEMPLATE_DEST ${CMAKE_INSTALL_DATADIR}/dwmid)
set(RS485_TEMPLATE_DIR ${CMAKE_INSTALL_FULL_DATADIR}/dwmid)
set(RS485_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rs485)
set(RS485_TEMPLATES
    ${PROJECT_SOURCE_DIR}/packaging/dwlib.conf.example
    ${PROJECT_SOURCE_DIR}/packaging/dwmid.conf.example
    ${PROJECT_SOURCE_DIR}/packaging/rs485mqtt.conf.example)
set(RS485_UNIT_SOURCES
    ${PROJECT_SOURCE_DIR}/packaging/dwmid.service.in
    ${PROJECT_SOURCE_DIR}/packaging/rs485mqtt.service.in)
set(RS485_MAN_PAGES
    ${PROJECT_SOURCE_DIR}/docs/dwmid.8
    ${PROJECT_SOURCE_DIR}/docs/dwmid.conf.5
    ${PROJECT_SOURCE_DIR}/docs/rs485ctl.1
    ${PROJECT_SOURCE_DIR}/docs/rs485mqtt.1
    ${PROJECT_SOURCE_DIR}/docs/rs485sim.1)
# Section 3: one page per exported function of the library, for the development package.
set(RS485_MAN3_PAGES "")
foreach(fn open close setPortParams setComFlags putOutputStream startCom getReceiveStream
        addEventListener removeEventListener getPortStatus putPortStatus verGet shutdown
        setReplyFraming)
    list(APPEND RS485_MAN3_PAGES ${PROJECT_SOURCE_DIR}/docs/man3/pxa_rs485_${fn}.3)
endforeach()

install(TARGETS dwmid RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(TARGETS rs485 EXPORT rs485Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev)
# The library needs no run path of its own.
set_target_properties(rs485 PROPERTIES INSTALL_RPATH "")
install(FILES ${PROJECT_SOURCE_DIR}/include/rs485.h
    ${RS485_GENERATED_INCLUDE_DIR}/rs485_version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev)

# The .pc file finds its prefix from its own place, so a tree installed with --prefix or
# DESTDIR works wherever it lands.
file(RELATIVE_PATH RS485_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${PROJECT_SOURCE_DIR}/packaging/librs485.pc.in ${PROJECT_BINARY_DIR}/librs485.pc
    @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/librs485.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)

install(EXPORT rs485Targets NAMESPACE rs485:: DESTINATION ${RS485_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/rs485Config.cmake.in
    ${PROJECT_BINARY_DIR}/rs485Config.cmake INSTALL_DESTINATION ${RS485_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rs485ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rs485Config.cmake ${PROJECT_BINARY_DIR}/rs485ConfigVersion.cmake
    DESTINATION ${RS485_CMAKE_DIR} COMPONENT dev)

# The component of an installed file by its name: the bridge's files go to its own package.
function(rs485_component file out)
    get_filename_component(name ${file} NAME)
    if(name MATCHES "^rs485mqtt[.]")
        set(${out} mqtt PARENT_SCOPE)
    else()
        set(${out} daemon PARENT_SCOPE)
    endif()
endfunction()

set(RS485_UNITS "")
set(RS485_MQTT_UNITS "")
foreach(unit_in ${RS485_UNIT_SOURCES})
    get_filename_component(unit ${unit_in} NAME_WLE)
    configure_file(${unit_in} ${PROJECT_BINARY_DIR}/${unit} @ONLY)
    rs485_component(${unit} component)
    install(FILES ${PROJECT_BINARY_DIR}/${unit} DESTINATION lib/systemd/system
        COMPONENT ${component})
    if(component STREQUAL mqtt)
        list(APPEND RS485_MQTT_UNITS ${unit})
    else()
        list(APPEND RS485_UNITS ${unit})
    endif()
endforeach()
foreach(template ${RS485_TEMPLATES})
    rs485_component(${template} component)
    install(FILES ${template} DESTINATION ${RS485_TEMPLATE_DEST} COMPONENT ${component})
endforeach()

# Man pages are installed compressed, as Debian wants them and man reads them.
set(RS485_MAN_GZ "")
foreach(page ${RS485_MAN_PAGES} ${RS485_MAN3_PAGES})
    get_filename_component(name ${page} NAME)
    string(REGEX MATCH "[1-8]$" section ${name})
    rs485_component(${page} component)
    if(section STREQUAL "3")
        set(component dev)
    endif()
    set(gz ${PROJECT_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${gz}
        COMMAND ${CMAKE_COMMAND} -E copy ${page} ${PROJECT_BINARY_DIR}/man/${name}
        COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${name}
        DEPENDS ${page} VERBATIM)
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
    list(APPEND RS485_MAN_GZ ${gz})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${RS485_MAN_GZ})

# Every package carries the copyright file in its own documentation directory.
foreach(pair daemon:dwmid library:librs485-1 dev:librs485-dev mqtt:rs485mqtt)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# cmake --install puts each template NAME.conf.example in place as NAME.conf unless that file
# exists; an existing configuration is never overwritten. A directory that cannot be written
# (an install without root) gives a warning, not a failed install. Packages leave this to their
# postinst, so that no file under /usr/local/etc becomes part of a package (the environment
# variable RS485_PACKAGING is 1 while CPack installs).
if(RS485_INSTALL_CONFIG)
    install(CODE "
if(NOT \"\$ENV{RS485_PACKAGING}\" STREQUAL \"1\")
    set(conf_dir \"\$ENV{DESTDIR}${RS485_CONF_DIR}\")
    foreach(template ${RS485_TEMPLATES})
        get_filename_component(name \"\${template}\" NAME)
        string(REGEX REPLACE \"[.]example\$\" \"\" name \"\${name}\")
        if(EXISTS \"\${conf_dir}/\${name}\")
            message(STATUS \"Kept existing: \${conf_dir}/\${name}\")
        else()
            execute_process(COMMAND \"${CMAKE_COMMAND}\" -E make_directory \"\${conf_dir}\"
                RESULT_VARIABLE made ERROR_QUIET)
            execute_process(COMMAND \"${CMAKE_COMMAND}\" -E copy \"\${template}\"
                \"\${conf_dir}/\${name}\" RESULT_VARIABLE copied ERROR_QUIET)
            if(made EQUAL 0 AND copied EQUAL 0)
                message(STATUS \"Installing: \${conf_dir}/\${name}\")
            else()
                message(WARNING \"Not installed: \${conf_dir}/\${name} (cannot write there). \"
                    \"Copy \${CMAKE_INSTALL_PREFIX}/${RS485_TEMPLATE_DEST}/\${name}.example \"
                    \"there as root, or configure with \"
                    \"-DRS485_INSTALL_CONFIG=OFF to leave the directory alone.\")
            endif()
        endif()
    endforeach()
endif()" COMPONENT daemon)
endif()

# ---- Debian packages: cpack -G DEB in a tree configured with -DCMAKE_INSTALL_PREFIX=/usr ----
# and -DRS485_WERROR=OFF (a package build does not fail over a warning of another compiler).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rs485)
# The Maintainer field of every package; whoever ships the packages sets it to themselves.
set(RS485_PACKAGE_MAINTAINER "dwmid developers <dwmid-dev@localhost>" CACHE STRING
    "Maintainer field of the Debian packages, \"Name <address>\"")
set(CPACK_PACKAGE_VENDOR "dwmid developers")
set(CPACK_PACKAGE_CONTACT "${RS485_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RS485_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake)
# Programs and the library are stripped. With RS485_PACKAGE_DBGSYM, CPack strips them itself
# and keeps their symbols in -dbgsym packages; it needs the files unstripped for that.
if(RS485_PACKAGE_DBGSYM)
    set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
else()
    set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon library dev Unspecified)
if(TARGET rs485mqtt)
    list(APPEND CPACK_COMPONENTS_ALL mqtt)
endif()
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_DAEMON_GROUP dwmid)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP dwmid)
set(CPACK_COMPONENT_LIBRARY_GROUP runtime)
set(CPACK_COMPONENT_DEV_GROUP dev)
# Each package's Description: a summary line, then the long description (CPack wraps it).
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put that one line above all three.
set(CPACK_DEBIAN_DWMID_DESCRIPTION "RS-485 line daemon with its commissioning tools
dwmid owns the RS-485 lines of an embedded controller and is the bus master of up to 15 slave
machines per line; application processes share the lines through librs485. The package also
holds rs485ctl (commissioning and diagnosis from the command line), rs485sim (a bus simulator
on pseudo-terminals, with an example machine file), the systemd unit, the configuration
templates that the postinst puts in place where none exists, and the man pages.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "shared library for applications on the RS-485 lines of dwmid
librs485.so.1 lets application processes share the RS-485 lines that the daemon dwmid owns:
it sends the daemon short text orders over local TCP and exchanges requests and replies
through System V shared memory. It has no thread of its own.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files for librs485
The headers rs485.h and rs485_version.h, the development link librs485.so, the pkg-config file
librs485.pc, the CMake package rs485 (target rs485::rs485) and a manual page per function, for
building applications that use the RS-485 lines of dwmid through librs485.")
set(CPACK_COMPONENT_MQTT_GROUP mqtt)
set(CPACK_DEBIAN_MQTT_DESCRIPTION "MQTT bridge for the RS-485 lines of dwmid
rs485mqtt polls the RS-485 lines of dwmid through librs485, each line on a thread of its own,
and publishes every machine's reply, each line's health and statistics on an MQTT broker
(MQTT 3.1.1 or 5, a list of broker addresses); commands from the broker are optional. The
package holds the bridge, its systemd unit, its configuration template and its man page.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# rs485ctl links librs485 from the other package of this build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_DWMID_PACKAGE_NAME dwmid)
set(CPACK_DEBIAN_DWMID_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_DWMID_PACKAGE_DEPENDS "librs485-1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME librs485-1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file for librs485.so.1 (only the runtime package holds a shared object; CPack
# knows no per-package form of this switch).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME librs485-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "librs485-1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
# libmosquitto comes in through the shared library dependencies.
set(CPACK_DEBIAN_MQTT_PACKAGE_NAME rs485mqtt)
set(CPACK_DEBIAN_MQTT_PACKAGE_SECTION net)
set(CPACK_DEBIAN_MQTT_PACKAGE_DEPENDS "librs485-1 (= ${PROJECT_VERSION})")
# Maintainer scripts know the template directory and the units.
string(REPLACE ";" " " RS485_UNIT_LIST "${RS485_UNITS}")
foreach(script postinst prerm postrm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${script} ${PROJECT_BINARY_DIR}/deb/${script}
        @ONLY)
endforeach()
set(CPACK_DEBIAN_DWMID_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/postinst
    ${PROJECT_BINARY_DIR}/deb/prerm ${PROJECT_BINARY_DIR}/deb/postrm)
set(CPACK_DEBIAN_DWMID_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The library's own postinst and postrm keep CPack from adding a bare ldconfig; the linker
# cache is rebuilt through the ldconfig trigger (see packaging/librs485-1.maintscript).
foreach(script postinst postrm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/librs485-1.maintscript
        ${PROJECT_BINARY_DIR}/deb/runtime/${script} COPYONLY)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/packaging/librs485-1.triggers
    ${PROJECT_BINARY_DIR}/deb/runtime/triggers COPYONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/runtime/postinst
    ${PROJECT_BINARY_DIR}/deb/runtime/postrm ${PROJECT_BINARY_DIR}/deb/runtime/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The bridge's package places its own template and stops only its own unit at removal.
set(RS485_UNIT_LIST "${RS485_MQTT_UNITS}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_BINARY_DIR}/deb/mqtt/prerm @ONLY)
set(CPACK_DEBIAN_MQTT_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/postinst
    ${PROJECT_BINARY_DIR}/deb/mqtt/prerm ${PROJECT_BINARY_DIR}/deb/postrm)
set(CPACK_DEBIAN_MQTT_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The size of each package as dpkg will see it, printed from this build.
add_custom_target(package_sizes
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/package-sizes.sh ${PROJECT_BINARY_DIR}
    USES_TERMINAL VERBATIM)

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
