# How a test runs an uninstrumented program under a preload library. In the sanitizer
# build the libraries need the address sanitizer's runtime loaded first; the Debian
# programs under test are not instrumented and their leaks are not ours.
set(ZL_PRELOAD_PREFIX "")
set(ZL_ENV_EXTRA "")
if(ZORV_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE _asan OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(ZL_PRELOAD_PREFIX "${_asan}:")
  set(ZL_ENV_EXTRA "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0")
endif()
