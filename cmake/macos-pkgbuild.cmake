# The installer package from a payload already staged by cmake/macos-package.cmake:
# packaging only, nothing is compiled, so that a release packages (and signs) exactly the
# payload its build job handed on.
#
#   cmake -DSOURCE_DIR=source -DWORK_DIR=folder -DPACKAGE=name.pkg -DVERSION=1.0.0
#         -DIDENTIFIER=id -DARCH=arm64 [-DPKGBUILD=pkgbuild -DPRODUCTBUILD=productbuild]
#         [-DSIGN="Developer ID Installer: ..." -DKEYCHAIN=path]
#         -P cmake/macos-pkgbuild.cmake
#
# reads the payload in WORK_DIR/root and the package's scripts in WORK_DIR/scripts, and
# writes WORK_DIR/components, WORK_DIR/distribution.xml and PACKAGE. With SIGN,
# productbuild signs the package with that identity, found in KEYCHAIN only, with a
# trusted timestamp; without it the package is not signed.
cmake_minimum_required(VERSION 3.25)

foreach(var SOURCE_DIR WORK_DIR PACKAGE VERSION IDENTIFIER ARCH)
  if("${${var}}" STREQUAL "")
    message(FATAL_ERROR "macos-pkgbuild: set ${var} to build ${PACKAGE}")
  endif()
endforeach()
foreach(dir root scripts)
  if(NOT IS_DIRECTORY "${WORK_DIR}/${dir}")
    message(FATAL_ERROR "macos-pkgbuild: no staged ${WORK_DIR}/${dir}")
  endif()
endforeach()
if("${PKGBUILD}" STREQUAL "")
  set(PKGBUILD pkgbuild)
endif()
if("${PRODUCTBUILD}" STREQUAL "")
  set(PRODUCTBUILD productbuild)
endif()
set(signing)
if(NOT "${SIGN}" STREQUAL "")
  if("${KEYCHAIN}" STREQUAL "")
    message(FATAL_ERROR "macos-pkgbuild: SIGN needs the KEYCHAIN that holds ${SIGN}")
  endif()
  set(signing --sign "${SIGN}" --keychain "${KEYCHAIN}" --timestamp)
endif()

# --ownership recommended: every file and folder of the payload is root:wheel on the
# Mac, whoever staged it.
set(component "${WORK_DIR}/components/${IDENTIFIER}.pkg")
file(REMOVE_RECURSE "${WORK_DIR}/components")
execute_process(
  COMMAND "${PKGBUILD}" --root "${WORK_DIR}/root" --install-location /
          --scripts "${WORK_DIR}/scripts" --identifier "${IDENTIFIER}"
          --version "${VERSION}" --ownership recommended "${component}"
  COMMAND_ERROR_IS_FATAL ANY)
configure_file("${SOURCE_DIR}/dist/pkg/distribution.xml.in"
  "${WORK_DIR}/distribution.xml" @ONLY)
file(REMOVE "${PACKAGE}")
execute_process(
  COMMAND "${PRODUCTBUILD}" --distribution "${WORK_DIR}/distribution.xml"
          --package-path "${WORK_DIR}/components" ${signing} "${PACKAGE}"
  COMMAND_ERROR_IS_FATAL ANY)
