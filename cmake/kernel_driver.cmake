# qorvane_test_driver(target source...): a Windows kernel driver for the tests
# (the simulated drive in test/wine, the bridge in test/qemu), built for the
# architecture of this build.
include_guard(GLOBAL)

# mingw-w64's driver headers (ntddk.h, wdm.h) live in their own folder.
find_path(QORVANE_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk REQUIRED)

# A kernel driver starts only as a native-subsystem image without the C
# runtime; everything it calls comes from ntoskrnl.exe. Its entry is stdcall,
# which 32-bit names as _DriverEntry@8.
function(qorvane_test_driver target)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry _DriverEntry@8)
  else()
    set(entry DriverEntry)
  endif()
  add_executable(${target} ${ARGN})
  set_target_properties(${target} PROPERTIES SUFFIX .sys)
  # SYSTEM: warnings in the driver headers are not ours to fix.
  target_include_directories(${target} SYSTEM PRIVATE ${QORVANE_DDK_INCLUDE_DIR})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_link_options(${target} PRIVATE
    -nostdlib -Wl,--subsystem,native -Wl,--entry,${entry})
  target_link_libraries(${target} PRIVATE ntoskrnl)
endfunction()
