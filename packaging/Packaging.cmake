# The Debian package: `cpack -G DEB` in a build directory configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package does it all).
set(VOXLET_MAINTAINER "The Voxlet developers <voxlet@example.org>"
    CACHE STRING "Maintainer of the Debian package (name <address>)")

install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voxlet)
set(CPACK_PACKAGE_VENDOR "The Voxlet developers")
set(CPACK_PACKAGE_CONTACT "${VOXLET_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use an Android phone as the computer's microphone")
# Lines of at most 80 columns: CPack indents them but does not wrap them.
set(CPACK_PACKAGE_DESCRIPTION "\
Voxlet connects over Wi-Fi to a server app on an Android phone, receives\n\
its voice as Opus frames, smooths network jitter and feeds it into a\n\
virtual microphone, Voxlet Microphone, that other programs can record\n\
from. It can play the phone in the speaker too. The package holds the\n\
window (voxlet), the same client without a window (voxlet-cli) and a\n\
stand-in for the phone's app for tests (voxlet-phone).")
set(CPACK_PACKAGE_HOMEPAGE_URL "${VOXLET_HOMEPAGE}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VOXLET_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the shared libraries the programs really link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The virtual microphone and the speaker need a PulseAudio-compatible server.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio")
# Debian's own changelog goes in the staged package only.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianChangelog.cmake)
set(CPACK_VOXLET_RELEASE_DATE "${VOXLET_RELEASE_DATE}")
include(CPack)
