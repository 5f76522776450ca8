# The CMake package of an installed tree. A host writes
#   find_package(vlt_datasource REQUIRED)
#   target_link_libraries(host PRIVATE vlt_datasource::vlt_datasource)
# and gets the libraries of every component (vlt_datasource::foundation, ...
# vlt_datasource::qm0), their headers and their own dependencies.
#
# Installed layout under the prefix:
#   include/                                       public and generated export headers
#   lib/                                           the shared libraries (RPATH $ORIGIN)
#   lib/cmake/vlt_datasource/                      the package files
#   toolbox/vlt/vlt_datasource/metamodel/          the base metamodel, read at run time
include(CMakePackageConfigHelpers)

set(VLT_PACKAGE_DIR lib/cmake/vlt_datasource)
install(EXPORT vlt_datasource_targets
  NAMESPACE vlt_datasource::
  FILE vlt_datasourceTargets.cmake
  DESTINATION ${VLT_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vlt_datasourceConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/vlt_datasourceConfig.cmake
  INSTALL_DESTINATION ${VLT_PACKAGE_DIR}
  NO_SET_AND_CHECK_MACRO)
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/vlt_datasourceConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/package/vlt_datasourceConfig.cmake
    ${PROJECT_BINARY_DIR}/package/vlt_datasourceConfigVersion.cmake
  DESTINATION ${VLT_PACKAGE_DIR})
