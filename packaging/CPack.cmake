# Debian packages, one per install component:
#   orvane-upgrader        the program for operators (component upgrader)
#   orvane-upgrader-tools  the device simulator and the network lab (component tools)
# The tools do not depend on the upgrader: the simulator and the lab test any client,
# and a test machine usually runs the upgrader from its build tree. Library dependencies
# are computed from the binaries (dpkg-shlibdeps); what they load at run time only
# (Qt's platform plugins; the lab's ip and sysctl) is named here.
set(ORVANE_PACKAGE_MAINTAINER "Orvane <support@orvane.example>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane-upgrader)
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ORVANE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL upgrader tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ORVANE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(ORVANE_WEB_URL)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ORVANE_WEB_URL})
endif()

set(CPACK_DEBIAN_UPGRADER_PACKAGE_NAME orvane-upgrader)
set(CPACK_DEBIAN_UPGRADER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_UPGRADER_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_COMPONENT_UPGRADER_DESCRIPTION
"firmware upgrader for Orvane network devices
Finds the Orvane devices on the local IPv4 networks, and the I2C devices
behind a gateway, and upgrades their firmware safely: it checks that a file
suits the device, uploads it, reads it back and compares, makes the device
flash it, waits for the restart and verifies the new version.
.
A window serves the operator; a batch mode with JSON output and documented
exit codes serves scripts.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME orvane-upgrader-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "iproute2, procps")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"simulated Orvane devices and a private network lab
orvane-devsim plays any number of Orvane network devices and their I2C
devices, with faults chosen by configuration, and records every exchange.
orvane-netlab builds a pair of network namespaces that reach none of the
machine's own interfaces, to run the upgrader against the simulator.")

include(CPack)
