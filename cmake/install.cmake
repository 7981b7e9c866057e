# The library as a package: install rules for it and its header, a versioned
# SONAME, find_package(wq) with the imported target wq::wq, wq.pc for
# pkg-config, and the licence (MIT). The tools add their own install rules.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(wq PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                                    PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/wq.h)
# Users of the build tree find the header in the sources, users of the
# installed package beside the library.
set_property(TARGET wq PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS wq EXPORT wqTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(wq_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/wq)
install(EXPORT wqTargets NAMESPACE wq:: DESTINATION ${wq_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/wqConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/wqConfig.cmake INSTALL_DESTINATION ${wq_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wqConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/wqConfig.cmake ${PROJECT_BINARY_DIR}/wqConfigVersion.cmake
        DESTINATION ${wq_cmake_dir})

# wq.pc finds its prefix from where it lies, so the package works wherever
# it is installed (cmake --install --prefix DIR included).
file(RELATIVE_PATH wq_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" wq_pc_to_prefix "${wq_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/wq.pc.in ${PROJECT_BINARY_DIR}/wq.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/wq.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
