# How test_usb_libusb is started: under umockdev's preload library, which
# gives libusb the test bed's sysfs and /dev/bus/usb. Sets
# LUMASET_USB_LAUNCHER (empty: the test is not built, and the reason is said).
set(LUMASET_USB_LAUNCHER "")
pkg_check_modules(UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0)
find_program(UMOCKDEV_WRAPPER umockdev-wrapper)
if(NOT UMOCKDEV_FOUND OR NOT UMOCKDEV_WRAPPER)
  message(STATUS "test_usb_libusb is not built: it needs the Debian packages umockdev and libumockdev-dev")
  return()
endif()

if(LUMASET_SANITIZE MATCHES "address")
  # AddressSanitizer's runtime must come first among the libraries loaded at
  # start, so it is preloaded ahead of umockdev's library (umockdev-wrapper
  # would put its own first, and the sanitizer would refuse to start).
  foreach(runtime libasan.so libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${asan_runtime}" AND EXISTS "${asan_runtime}")
      break()
    endif()
    set(asan_runtime "")
  endforeach()
  if(NOT asan_runtime)
    message(STATUS "test_usb_libusb is not built: AddressSanitizer's runtime library was not found to preload")
    return()
  endif()
  set(LUMASET_USB_LAUNCHER env "LD_PRELOAD=${asan_runtime}:libumockdev-preload.so.0")
else()
  # ThreadSanitizer accepts the preload library in front of it.
  set(LUMASET_USB_LAUNCHER ${UMOCKDEV_WRAPPER})
endif()
