# A Debian binary package of what `cmake --install` puts in place, made by CPack (scripts/package
# runs it on the release tree). Its runtime dependencies come from the shared libraries the
# executable links (dpkg-shlibdeps) and, listed here, from the QML modules and the Qt platform
# plugin that are loaded at run time and that no library link shows.
include(GNUInstallDirs)

# The manual page and the Debian documentation files (copyright, changelog), compressed the way
# Debian wants them: maximum compression, no name or time stamp in the gzip header.
set(halvane_packaging_dir ${CMAKE_BINARY_DIR}/packaging)
set(halvane_compressed)
foreach(pair halvane.1:halvane.1 halvane-usb-bridge.1:halvane-usb-bridge.1 changelog:changelog.Debian)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 source)
    list(GET pair 1 name)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${source} ${halvane_packaging_dir}/${name} COPYONLY)
    add_custom_command(OUTPUT ${halvane_packaging_dir}/${name}.gz
        COMMAND gzip -9nkf ${name}
        DEPENDS ${halvane_packaging_dir}/${name}
        WORKING_DIRECTORY ${halvane_packaging_dir} VERBATIM)
    list(APPEND halvane_compressed ${halvane_packaging_dir}/${name}.gz)
endforeach()
add_custom_target(halvane_packaging_docs ALL DEPENDS ${halvane_compressed})
install(FILES ${halvane_packaging_dir}/halvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${halvane_packaging_dir}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/halvane)

# The USB camera bridge is a package of its own, so a small computer beside the camera needs no
# desktop stack: its program, manual page, documentation and a systemd unit, installed disabled
# (the package has no maintainer scripts that would enable it).
install(FILES ${halvane_packaging_dir}/halvane-usb-bridge.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT usbbridge)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${halvane_packaging_dir}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/halvane-usb-bridge COMPONENT usbbridge)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/halvane-usb-bridge.service DESTINATION lib/systemd/system
        COMPONENT usbbridge)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvane)
# Two packages: the application (everything installed without a component) and the USB bridge.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified usbbridge)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME halvane)
set(CPACK_DEBIAN_USBBRIDGE_PACKAGE_NAME halvane-usb-bridge)
set(CPACK_DEBIAN_USBBRIDGE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_USBBRIDGE_DESCRIPTION "connects cameras on USB ports to Halvane
halvane-usb-bridge makes every camera on this computer's USB ports (through
libgphoto2) a network camera for Halvane: it finds the workstation by DNS-SD
and sends each camera's photos, live view and settings, and carries out
Halvane's commands. It needs no display, so a small computer beside the
camera can run it; a systemd unit, disabled, runs it at boot.")
set(CPACK_DEBIAN_USBBRIDGE_PACKAGE_RECOMMENDS "avahi-daemon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Halvane developers <developers@halvane.org>")
# Each package's description starts with its summary line (CPack would put one summary before both).
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION "tethered capture from networked cameras
Halvane is for photographers who shoot tethered. Cameras on the local network
find the workstation through DNS-SD and send every photo as it is taken,
together with live view and their exposure settings.

Every photo is stored unchanged in the capture folder, never overwriting a
file, and shown at once in a zoomable viewer with a thumbnail strip and an
exposure sidebar; director mode drives the camera from the workstation.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_DEPENDS "qml6-module-qtquick, qml6-module-qtquick-controls, \
qml6-module-qtquick-templates, qml6-module-qtquick-layouts, qml6-module-qtquick-window, \
qml6-module-qtquick-dialogs, qml6-module-qtquick-shapes, qml6-module-qtqml-workerscript, \
qml6-module-qt-labs-folderlistmodel, qt6-qpa-plugins")
# Cameras find Halvane through the service it advertises with the system's avahi-daemon; image
# formats other than JPEG, HEIF and camera raw files are read through Qt's plugins.
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_RECOMMENDS "avahi-daemon, qt6-image-formats-plugins")
include(CPack)
