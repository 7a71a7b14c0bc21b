# The installer package of a Mac. Its payload is exactly what `cmake --install` lays
# down with the prefix /usr/local, given to root:wheel; its scripts run the install tool
# and the install.sh of that same install: the tool's preflight before anything is
# written, and install.sh once the payload is in place, as an administrator would after
# laying it down by hand.
#
#   cmake -DBUILD_DIR=build -DSOURCE_DIR=source -DWORK_DIR=folder
#         [-DPACKAGE=name.pkg -DVERSION=1.0.0 -DIDENTIFIER=id -DARCH=arm64
#          -DPKGBUILD=pkgbuild -DPRODUCTBUILD=productbuild]
#         -P cmake/macos-package.cmake
#
# stages the payload in WORK_DIR/root and the package's scripts in WORK_DIR/scripts
# (WORK_DIR is emptied first), then, with PACKAGE, builds the package there with
# pkgbuild and productbuild, which only a Mac has (cmake/macos-pkgbuild.cmake, which a
# release runs alone on the payload it was handed). The stored limit is never in the
# payload, so an upgrade keeps it.
cmake_minimum_required(VERSION 3.25)

foreach(var BUILD_DIR SOURCE_DIR WORK_DIR)
  if("${${var}}" STREQUAL "")
    message(FATAL_ERROR "macos-package: set ${var}")
  endif()
endforeach()
if(NOT DEFINED SCRIPTS_DIR)
  set(SCRIPTS_DIR libexec/tamso-helper)
endif()
set(prefix /usr/local)
set(root "${WORK_DIR}/root")
set(scripts "${WORK_DIR}/scripts")
set(mode_0755 OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

# The payload's top folder stands for the target volume's root, and the scripts' folder
# is read by Installer: both 0755 whatever the umask of the one who builds.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${root}" "${scripts}")
file(CHMOD "${root}" "${scripts}" PERMISSIONS ${mode_0755})

execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${root}"
          "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix ${prefix}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "macos-package: cmake --install into ${root} failed")
endif()

# The package's own install.sh and install tool are the payload's, configured once for
# both, with the functions install.sh sources from beside it: preinstall runs the tool
# before the payload exists.
file(COPY "${SOURCE_DIR}/dist/pkg/preinstall" "${SOURCE_DIR}/dist/pkg/postinstall"
          "${root}${prefix}/${SCRIPTS_DIR}/install.sh" "${root}${prefix}/${SCRIPTS_DIR}/tamso-setup"
  DESTINATION "${scripts}" FILE_PERMISSIONS ${mode_0755})
file(COPY "${root}${prefix}/${SCRIPTS_DIR}/launchd.sh"
  DESTINATION "${scripts}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if("${PACKAGE}" STREQUAL "")
  return()
endif()
include("${CMAKE_CURRENT_LIST_DIR}/macos-pkgbuild.cmake")
