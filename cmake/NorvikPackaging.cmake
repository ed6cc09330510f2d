# Debian packages, one per install component (`cpack -G DEB` in the build
# directory). Versions come from the project version; the dependencies on
# Debian's own libraries (libpcsclite1, libssl3, libstdc++6, ...) are worked
# out by dpkg-shlibdeps from what the programs really link.
#
#   component     package          contents
#   library       libquillon<N>    libQuillon.so.<N>, libQuillon.so.<version>
#   development   libquillon-dev   Quillon.h, libQuillon.so, quillon.pc, CMake package
#   trace         quillon-trace    quillon-trace, the viewer of the trace ring
#   sim           norvik-sim       norvik-sim, norvik-simctl, norvik-pcsc-wait
#   tool          provisor         Provisor, qrdecode.dll, scrn.dll, keyloom, menu entry
#
# Installing without packages: cmake --install <build> [--prefix P] [--component C]

set(CPACK_PACKAGE_NAME norvik2)
set(CPACK_PACKAGE_VENDOR "Norvik-2 provisioning")
set(CPACK_PACKAGE_CONTACT "Norvik-2 provisioning developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed files lose their debug information in the packages.
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/[.]git/")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development trace sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The runtime package announces libQuillon's SONAME (a shlibs file), so
# packages built against it get their dependency the Debian way as well.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(NORVIK_DEB_VERSION ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(NORVIK_LIBRARY_PACKAGE libquillon${PROJECT_VERSION_MAJOR})

# Each package's description: its first line is the Debian synopsis.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${NORVIK_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
string(CONCAT CPACK_DEBIAN_LIBRARY_DESCRIPTION
  "Norvik-2 token command library\n"
  "libQuillon drives Norvik-2 one-time-password tokens through PC/SC: serial\n"
  "number and clock, access key, seeds, profile configuration, PIN, keypad and\n"
  "screen lock, one self-contained call per command.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquillon-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${NORVIK_LIBRARY_PACKAGE} (= ${NORVIK_DEB_VERSION})")
string(CONCAT CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Norvik-2 token command library - development files\n"
  "The header Quillon.h, the libQuillon.so link, the pkg-config file quillon.pc\n"
  "and the CMake package Quillon (imported target Quillon::Quillon).")

set(CPACK_DEBIAN_TRACE_PACKAGE_NAME quillon-trace)
set(CPACK_DEBIAN_TRACE_PACKAGE_SECTION utils)
string(CONCAT CPACK_DEBIAN_TRACE_DESCRIPTION
  "Viewer of the Norvik-2 library's trace ring\n"
  "quillon-trace prints the diagnostic records that libQuillon writes into its\n"
  "shared-memory ring, as they arrive or as a one-off dump.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME norvik-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# The token is a vpcd client: it needs pcscd with vsmartcard's reader driver.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "pcscd, vsmartcard-vpcd")
string(CONCAT CPACK_DEBIAN_SIM_DESCRIPTION
  "Virtual Norvik-2 token for pcscd\n"
  "norvik-sim plugs a simulated Norvik-2 token into pcscd through the vpcd\n"
  "reader driver; norvik-simctl sends it control lines (removal, faults) and\n"
  "norvik-pcsc-wait waits for pcscd, a reader or a card.")

# The tool: Provisor with its menu entry, the QR programs and keyloom. The
# Qt 6 widgets libraries and libpcsclite come from dpkg-shlibdeps; libQuillon
# is loaded at run time (by its SONAME once installed), so it is named here,
# as are pcscd and the programs behind the QR import.
if(QUILLON_BUILD_TOOL)
  list(APPEND CPACK_COMPONENTS_ALL tool)
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME provisor)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
      "${NORVIK_LIBRARY_PACKAGE} (= ${NORVIK_DEB_VERSION}), pcscd, zbar-tools, imagemagick")
  string(CONCAT CPACK_DEBIAN_TOOL_DESCRIPTION
    "Norvik-2 token provisioning tool\n"
    "Provisor is the operator's dialog for Norvik-2 one-time-password tokens:\n"
    "it writes TOTP profiles (typed, QR-code, seed-file and bulk seeds),\n"
    "copies OTPs, and manages the token's access key. keyloom does the same\n"
    "from scripts.")
endif()

include(CPack)
