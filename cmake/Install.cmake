# What `cmake --install` places: the shared library with its SONAME, the public
# header alone, a CMake package (find_package(Kestrune) gives Kestrune::Kestrune)
# and a pkg-config file for programs that use the library, the command and the
# test console, and their manual pages. Nothing internal is installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KESTRUNE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrune)

install(TARGETS Kestrune EXPORT KestruneTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/library/include/kestrune.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT KestruneTargets NAMESPACE Kestrune:: DESTINATION ${KESTRUNE_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestruneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/KestruneConfig.cmake INSTALL_DESTINATION ${KESTRUNE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestruneConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestruneConfig.cmake ${PROJECT_BINARY_DIR}/KestruneConfigVersion.cmake
        DESTINATION ${KESTRUNE_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrune.pc.in ${PROJECT_BINARY_DIR}/kestrune.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrune.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS KestruneTest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/testconsole/KestruneTest.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET kestrune)
  install(TARGETS kestrune RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/kestrune/kestrune.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
