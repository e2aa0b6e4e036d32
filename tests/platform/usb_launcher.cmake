# How test_usb_libusb is started: under umockdev's preload library, which
# gives libusb the test bed's sysfs and /dev/bus/usb. Sets
# LUMASET_USB_LAUNCHER (empty: the test is not built, with the reason said).
set(LUMASET_USB_LAUNCHER "")
pkg_check_modules(UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0)
find_program(UMOCKDEV_WRAPPER umockdev-wrapper)
if(NOT UMOCKDEV_FOUND OR NOT UMOCKDEV_WRAPPER)
  message(STATUS "test_usb_libusb is not built: it needs the Debian packages umockdev and libumockdev-dev")
  return()
endif()
set(LUMASET_USB_LAUNCHER ${UMOCKDEV_WRAPPER})
