# Tests of the preload libraries, included from preload/CMakeLists.txt:
#  preload_trace_test     plain unit test of the log's formatting, naming and pruning;
#  preload_programs_test  run through the test launcher: Debian programs and a helper
#                         program under both libraries, compared with runs without one.
find_package(GTest REQUIRED)
set(ZL_TEST_DIR ${CMAKE_SOURCE_DIR}/tests/preload)

add_library(zorvload_trace STATIC ${ZORVLOAD_TRACE_SOURCES})
target_include_directories(zorvload_trace PUBLIC ${CMAKE_SOURCE_DIR}/preload)
target_link_libraries(zorvload_trace PUBLIC kvel_core)

add_executable(preload_trace_test ${ZL_TEST_DIR}/preload_trace_test.cpp)
target_link_libraries(preload_trace_test PRIVATE zorvload_trace GTest::gtest GTest::gtest_main)
add_test(NAME unit.preload_trace_test COMMAND preload_trace_test)
# GCC 12 with the address sanitizer warns falsely inside std::regex's own std::function.
if(ZORV_SANITIZE)
  set(ZL_REGEX_OPTIONS -Wno-maybe-uninitialized)
endif()
target_compile_options(preload_trace_test PRIVATE ${ZL_REGEX_OPTIONS})

add_executable(preload_helper ${ZL_TEST_DIR}/preload_helper.cpp)
target_link_libraries(preload_helper PRIVATE Threads::Threads)
add_library(preload_early_calls SHARED ${ZL_TEST_DIR}/preload_early_calls.cpp)
target_link_libraries(preload_early_calls PRIVATE Threads::Threads)

include(${CMAKE_SOURCE_DIR}/tests/preload_env.cmake)

add_executable(preload_programs_test ${ZL_TEST_DIR}/preload_programs_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/test_support.cpp)
target_include_directories(preload_programs_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_compile_options(preload_programs_test PRIVATE ${ZL_REGEX_OPTIONS})
target_link_libraries(preload_programs_test PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(preload_programs_test PRIVATE
    ZL_LIB_DIR="$<TARGET_FILE_DIR:zorvload>" ZL_HELPER="$<TARGET_FILE:preload_helper>"
    ZL_EARLY_LIB="$<TARGET_FILE:preload_early_calls>"
    ZL_SCRIPT="${ZL_TEST_DIR}/preload_programs.sh"
    ZL_PRELOAD_PREFIX="${ZL_PRELOAD_PREFIX}" ZL_ENV_EXTRA="${ZL_ENV_EXTRA}"
    ZL_SANITIZED=$<BOOL:${ZORV_SANITIZE}>)
add_dependencies(preload_programs_test zorvload zorvload_unsafe preload_helper
                 preload_early_calls)
add_test(NAME card.preload_programs_test
         COMMAND ${CMAKE_SOURCE_DIR}/tests/launcher/zorv_launch --sim $<TARGET_FILE:zorvnic_sim>
                 -- $<TARGET_FILE:preload_programs_test>)
set_tests_properties(card.preload_programs_test PROPERTIES TIMEOUT 900)

# connect, bind, listen, accept, names, shutdown and close of a program with blocking
# sockets, against Linux peers, beside the kernel's results without a preload library.
add_executable(ctl_helper ${ZL_TEST_DIR}/ctl_helper.cpp)
target_link_libraries(ctl_helper PRIVATE Threads::Threads)
add_executable(preload_ctl_test ${ZL_TEST_DIR}/preload_ctl_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/test_support.cpp)
target_include_directories(preload_ctl_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(preload_ctl_test PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(preload_ctl_test PRIVATE
    ZL_LIB_DIR="$<TARGET_FILE_DIR:zorvload>" ZL_CTL_HELPER="$<TARGET_FILE:ctl_helper>"
    ZL_CLOSE_PROGRAMS="${ZL_TEST_DIR}/close_programs.py"
    ZL_PRELOAD_PREFIX="${ZL_PRELOAD_PREFIX}" ZL_ENV_EXTRA="${ZL_ENV_EXTRA}")
add_dependencies(preload_ctl_test zorvload zorvload_unsafe ctl_helper)
add_test(NAME card.preload_ctl_test
         COMMAND ${CMAKE_SOURCE_DIR}/tests/launcher/zorv_launch --sim $<TARGET_FILE:zorvnic_sim>
                 -- $<TARGET_FILE:preload_ctl_test>)
set_tests_properties(card.preload_ctl_test PROPERTIES TIMEOUT 600)

# The descriptor slots' locking of both libraries on its own (unsafe: 0 or 1), with the
# thread sanitizer too where the build has no other sanitizer (below).
set(ZL_FD_LOCK_SOURCES ${ZL_TEST_DIR}/preload_fd_lock_test.cpp
    ${CMAKE_SOURCE_DIR}/preload/fd_lock_mutex.cpp ${CMAKE_SOURCE_DIR}/preload/fd_lock_global.cpp
    ${CMAKE_SOURCE_DIR}/preload/slot_owner.cpp ${CMAKE_SOURCE_DIR}/preload/fd_table_end.cpp
    ${CMAKE_SOURCE_DIR}/preload/fd_pause.cpp)
function(zl_fd_lock_test name unsafe)
  add_executable(${name} ${ZL_FD_LOCK_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/preload
                             ${CMAKE_SOURCE_DIR}/nic ${CMAKE_SOURCE_DIR}/nic/include)
  target_compile_definitions(${name} PRIVATE ZORVLOAD_UNSAFE=${unsafe})
  target_compile_options(${name} PRIVATE ${ARGN})
  target_link_options(${name} PRIVATE ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME unit.${name} COMMAND ${name})
endfunction()
zl_fd_lock_test(preload_fd_lock_test 0)
zl_fd_lock_test(preload_fd_lock_unsafe_test 1)

# The thread sanitizer, where the build has no other sanitizer: both libraries and the
# helper built with it, the many-threads run traced and untraced. (Forking a threaded
# process is left out: the sanitizer's own locks may deadlock in the child.)
if(NOT ZORV_SANITIZE)
  set(ZL_TSAN -fsanitize=thread)
  add_library(zorvload_tsan_objects OBJECT ${ZORVLOAD_NIC_SOURCES}
              $<TARGET_PROPERTY:zorvload_body,SOURCES>)
  target_include_directories(zorvload_tsan_objects PRIVATE ${CMAKE_SOURCE_DIR}/preload
                             ${CMAKE_SOURCE_DIR}/nic ${CMAKE_SOURCE_DIR}/nic/include)
  target_compile_definitions(zorvload_tsan_objects PRIVATE ZORV_GITHASH=0x${ZORV_GITHASH})
  target_compile_options(zorvload_tsan_objects PRIVATE ${ZL_TSAN} ${ZORVLOAD_COMPILE_OPTIONS})
  set_target_properties(zorvload_tsan_objects PROPERTIES CXX_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON)
  foreach(variant zorvload zorvload_unsafe)
    add_library(${variant}_tsan SHARED $<TARGET_OBJECTS:zorvload_tsan_objects>
                ${CMAKE_SOURCE_DIR}/preload/fd_lock_mutex.cpp
                ${CMAKE_SOURCE_DIR}/preload/fd_lock_global.cpp)
    target_include_directories(${variant}_tsan PRIVATE ${CMAKE_SOURCE_DIR}/preload
                               ${CMAKE_SOURCE_DIR}/nic ${CMAKE_SOURCE_DIR}/nic/include)
    target_compile_options(${variant}_tsan PRIVATE ${ZL_TSAN})
    target_link_options(${variant}_tsan PRIVATE ${ZL_TSAN})
    target_link_libraries(${variant}_tsan PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
    set_target_properties(${variant}_tsan PROPERTIES CXX_VISIBILITY_PRESET hidden)
  endforeach()
  target_compile_definitions(zorvload_tsan PRIVATE ZORVLOAD_UNSAFE=0)
  target_compile_definitions(zorvload_unsafe_tsan PRIVATE ZORVLOAD_UNSAFE=1)
  zl_fd_lock_test(preload_fd_lock_tsan_test 0 ${ZL_TSAN})
  zl_fd_lock_test(preload_fd_lock_unsafe_tsan_test 1 ${ZL_TSAN})
  add_executable(preload_helper_tsan ${ZL_TEST_DIR}/preload_helper.cpp)
  target_compile_options(preload_helper_tsan PRIVATE ${ZL_TSAN})
  target_link_options(preload_helper_tsan PRIVATE ${ZL_TSAN})
  target_link_libraries(preload_helper_tsan PRIVATE Threads::Threads)
  foreach(variant zorvload zorvload_unsafe)
    add_test(NAME unit.preload_tsan_${variant}
             COMMAND sh -c "dir=$(mktemp -d) && cd $dir && \
export LD_PRELOAD=$<TARGET_FILE:${variant}_tsan> TSAN_OPTIONS=halt_on_error=1:exitcode=66 && \
$<TARGET_FILE:preload_helper_tsan> churn 8 100 && \
NOTRACE=1 $<TARGET_FILE:preload_helper_tsan> churn 8 100; rc=$?; rm -rf $dir; exit $rc")
    set_tests_properties(unit.preload_tsan_${variant} PROPERTIES TIMEOUT 300)
  endforeach()
endif()

# A card test of a helper program under both libraries beside a Linux peer's script:
# the test reaches the helper and the script through the compile definitions named.
function(zl_program_test test helper helper_define peer_define peer_script timeout)
  add_executable(${test} ${ZL_TEST_DIR}/${test}.cpp ${CMAKE_SOURCE_DIR}/tests/support/test_support.cpp)
  target_include_directories(${test} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  target_link_libraries(${test} PRIVATE GTest::gtest GTest::gtest_main)
  target_compile_definitions(${test} PRIVATE
      ZL_LIB_DIR="$<TARGET_FILE_DIR:zorvload>" ${helper_define}="$<TARGET_FILE:${helper}>"
      ${peer_define}="${ZL_TEST_DIR}/${peer_script}"
      ZL_PRELOAD_PREFIX="${ZL_PRELOAD_PREFIX}" ZL_ENV_EXTRA="${ZL_ENV_EXTRA}")
  add_dependencies(${test} zorvload zorvload_unsafe ${helper})
  add_test(NAME card.${test}
           COMMAND ${CMAKE_SOURCE_DIR}/tests/launcher/zorv_launch --sim $<TARGET_FILE:zorvnic_sim>
                   -- $<TARGET_FILE:${test}>)
  set_tests_properties(card.${test} PROPERTIES TIMEOUT ${timeout})
endfunction()

# A helper built with the thread sanitizer, named to the test by the compile definition
# `define`; the test finds both libraries built with it in ZL_TSAN_LIB_DIR.
function(zl_tsan_helper test helper define)
  add_executable(${helper}_tsan ${ZL_TEST_DIR}/${helper}.cpp)
  target_compile_options(${helper}_tsan PRIVATE ${ZL_TSAN})
  target_link_options(${helper}_tsan PRIVATE ${ZL_TSAN})
  target_link_libraries(${helper}_tsan PRIVATE Threads::Threads)
  target_compile_definitions(${test} PRIVATE ${define}="$<TARGET_FILE:${helper}_tsan>"
                             ZL_TSAN_LIB_DIR="$<TARGET_FILE_DIR:zorvload_tsan>")
  add_dependencies(${test} ${helper}_tsan zorvload_tsan zorvload_unsafe_tsan)
endfunction()

# The receive and send calls on card sockets: a program's answers beside the kernel's.
add_executable(data_calls_helper ${ZL_TEST_DIR}/data_calls_helper.cpp)
target_link_libraries(data_calls_helper PRIVATE Threads::Threads)
zl_program_test(preload_data_test data_calls_helper ZL_DATA_HELPER ZL_DATA_PEER data_peer.py 900)
target_compile_options(preload_data_test PRIVATE ${ZL_REGEX_OPTIONS})
target_compile_definitions(preload_data_test PRIVATE
    ZL_BULK_TRANSFER="${ZL_TEST_DIR}/bulk_transfer.py"
    ZL_RX_TIMESTAMPS="${ZL_TEST_DIR}/rx_timestamps.py")
# The reader and writer threads on one socket, with both libraries and the program built
# with the thread sanitizer, where the build has no other sanitizer.
if(NOT ZORV_SANITIZE)
  zl_tsan_helper(preload_data_test data_calls_helper ZL_DATA_HELPER_TSAN)
endif()

# The descriptor table: closes through syscall(), the dup family, a forked child and
# sendfile, beside the kernel's results; the shared record's count under the thread
# sanitizer where the build has no other sanitizer.
add_executable(descriptor_helper ${ZL_TEST_DIR}/descriptor_helper.cpp)
target_link_libraries(descriptor_helper PRIVATE Threads::Threads)
zl_program_test(preload_descriptors_test descriptor_helper ZL_DESC_HELPER ZL_DESC_PROGRAMS
                descriptor_programs.py 600)
if(NOT ZORV_SANITIZE)
  zl_tsan_helper(preload_descriptors_test descriptor_helper ZL_DESC_HELPER_TSAN)
endif()

# Socket options on card sockets: the tables as cases, timeouts, TTLs, membership.
add_executable(option_cases_helper ${ZL_TEST_DIR}/option_cases_helper.cpp)
zl_program_test(preload_options_test option_cases_helper ZL_OPTION_HELPER ZL_OPTION_PEER
                option_peer.py 600)

# Calls the kernel answers, beside the same program's answers without a library:
# options and listen on sockets the card does not serve yet.
add_executable(argument_cases_helper ${ZL_TEST_DIR}/argument_cases_helper.cpp)
zl_program_test(preload_arguments_test argument_cases_helper ZL_ARG_HELPER ZL_DATA_PEER
                data_peer.py 600)

# python3's own test modules of sockets over loopback, without a library and under each:
# no test may fail only under a library. The modules run side by side (ZL_PYTHON_JOBS).
# The normal build alone runs them: at a sanitizer's pace the three runs of some 3000
# tests would add a quarter of an hour.
if(NOT ZORV_SANITIZE)
  add_test(NAME unit.preload_python_suites
           COMMAND /usr/bin/python3 ${ZL_TEST_DIR}/python_suites.py "${ZL_PRELOAD_PREFIX}"
                   "${ZL_ENV_EXTRA}" $<TARGET_FILE:zorvload> $<TARGET_FILE:zorvload_unsafe>)
  set_tests_properties(unit.preload_python_suites PROPERTIES TIMEOUT 1800 PROCESSORS 6
                       SKIP_RETURN_CODE 77 COST 250)
endif()

# The select, poll and epoll waits of programs on card sockets: their answers beside the
# kernel's.
add_executable(poll_cases_helper ${ZL_TEST_DIR}/poll_cases_helper.cpp)
target_link_libraries(poll_cases_helper PRIVATE Threads::Threads)
zl_program_test(preload_poll_test poll_cases_helper ZL_POLL_HELPER ZL_DATA_PEER data_peer.py 600)
add_executable(epoll_cases_helper ${ZL_TEST_DIR}/epoll_cases_helper.cpp)
target_link_libraries(epoll_cases_helper PRIVATE Threads::Threads)
target_compile_definitions(preload_poll_test PRIVATE
    ZL_EPOLL_HELPER="$<TARGET_FILE:epoll_cases_helper>")
add_dependencies(preload_poll_test epoll_cases_helper)
if(NOT ZORV_SANITIZE)
  zl_tsan_helper(preload_poll_test epoll_cases_helper ZL_EPOLL_HELPER_TSAN)
endif()

# NAME: a test program run through the launcher with the simulator, with its gtest
# environment (shards, filter) and the long limit of tests that run Debian programs.
function(zl_launched_test name program environment)
  add_test(NAME ${name}
           COMMAND ${CMAKE_SOURCE_DIR}/tests/launcher/zorv_launch --sim $<TARGET_FILE:zorvnic_sim>
                   -- $<TARGET_FILE:${program}>)
  set_tests_properties(${name} PROPERTIES TIMEOUT 1200 ENVIRONMENT "${environment}")
endfunction()

# Debian programs on card sockets: what they receive beside what they receive without.
add_executable(preload_card_programs_test ${ZL_TEST_DIR}/preload_card_programs_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/test_support.cpp)
target_include_directories(preload_card_programs_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(preload_card_programs_test PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(preload_card_programs_test PRIVATE
    ZL_SANITIZED=$<BOOL:${ZORV_SANITIZE}>
    ZL_LIB_DIR="$<TARGET_FILE_DIR:zorvload>" ZL_CARD_SCRIPT="${ZL_TEST_DIR}/card_programs.sh"
    ZL_PRELOAD_PREFIX="${ZL_PRELOAD_PREFIX}" ZL_ENV_EXTRA="${ZL_ENV_EXTRA}")
add_dependencies(preload_card_programs_test zorvload zorvload_unsafe)
# iperf3 and sockperf run as tests of their own, in two shards beside the others
# (minutes of runs).
set(ZL_PERF_PROGRAMS "*iperf3*:*sockperf*")
zl_launched_test(card.preload_card_programs_test preload_card_programs_test
                 "GTEST_FILTER=-${ZL_PERF_PROGRAMS}")
foreach(shard 0 1)
  zl_launched_test(card.preload_perf_programs_test_${shard} preload_card_programs_test
      "GTEST_TOTAL_SHARDS=2;GTEST_SHARD_INDEX=${shard};GTEST_FILTER=${ZL_PERF_PROGRAMS}")
endforeach()

# The emulated eventfd and timerfd, waited on beside a card socket: a program's answers
# beside the kernel's.
add_executable(evfd_cases_helper ${ZL_TEST_DIR}/evfd_cases_helper.cpp)
target_link_libraries(evfd_cases_helper PRIVATE Threads::Threads)
zl_program_test(preload_evfd_test evfd_cases_helper ZL_EVFD_HELPER ZL_DATA_PEER data_peer.py 600)
if(NOT ZORV_SANITIZE)
  zl_tsan_helper(preload_evfd_test evfd_cases_helper ZL_EVFD_HELPER_TSAN)
endif()

# Event-driven Debian programs on card sockets: their checked results beside the kernel's.
add_executable(preload_event_programs_test ${ZL_TEST_DIR}/preload_event_programs_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/test_support.cpp)
target_include_directories(preload_event_programs_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(preload_event_programs_test PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(preload_event_programs_test PRIVATE
    ZL_LIB_DIR="$<TARGET_FILE_DIR:zorvload>" ZL_EVENT_SCRIPT="${ZL_TEST_DIR}/event_programs.sh"
    ZL_PRELOAD_PREFIX="${ZL_PRELOAD_PREFIX}" ZL_ENV_EXTRA="${ZL_ENV_EXTRA}")
add_dependencies(preload_event_programs_test zorvload)
# In three shards, each in a launch of its own, so that ctest runs them side by side: the
# redis scenario alone takes minutes. In the sanitizer build it would take a quarter of an
# hour on a busy machine (1.6 million requests, 800 accepts), so the normal build alone
# runs it.
set(ZL_EVENT_FILTER "")
if(ZORV_SANITIZE)
  set(ZL_EVENT_FILTER ";GTEST_FILTER=-*redis_server*")
endif()
foreach(shard 0 1 2)
  zl_launched_test(card.preload_event_programs_test_${shard} preload_event_programs_test
                   "GTEST_TOTAL_SHARDS=3;GTEST_SHARD_INDEX=${shard}${ZL_EVENT_FILTER}")
endforeach()

# The README's recipes: a server on any address and multicast receivers, with and
# without ZORVLOAD_BIND_INTERFACE, on the card or with their fallback reason logged.
add_executable(preload_recipes_test ${ZL_TEST_DIR}/preload_recipes_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/test_support.cpp)
target_include_directories(preload_recipes_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_compile_options(preload_recipes_test PRIVATE ${ZL_REGEX_OPTIONS})
target_link_libraries(preload_recipes_test PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(preload_recipes_test PRIVATE
    ZL_LIB_DIR="$<TARGET_FILE_DIR:zorvload>" ZL_CARD_SCRIPT="${ZL_TEST_DIR}/card_programs.sh"
    ZL_PRELOAD_PREFIX="${ZL_PRELOAD_PREFIX}" ZL_ENV_EXTRA="${ZL_ENV_EXTRA}")
add_dependencies(preload_recipes_test zorvload)
zl_launched_test(card.preload_recipes_test preload_recipes_test "")

# Programs over the card wait by busy polling, as the library's waits are built: each
# of these tests keeps several processors busy at once (the programs' waiting threads,
# the simulator's data path, the peer). ctest counts them so, so that a parallel run
# does not starve the waits and time limits of the tests beside them.
# The longest of them start first (a higher COST), so that none is left to run alone at
# the end of the run.
set_tests_properties(card.preload_perf_programs_test_0 card.preload_perf_programs_test_1
                     card.preload_event_programs_test_0 card.preload_event_programs_test_1
                     card.preload_event_programs_test_2 PROPERTIES PROCESSORS 3)
set_tests_properties(card.preload_card_programs_test card.preload_ctl_test
                     card.preload_data_test card.preload_programs_test
                     card.preload_recipes_test PROPERTIES PROCESSORS 2)
set_tests_properties(card.preload_ctl_test card.preload_data_test
                     card.preload_perf_programs_test_0 card.preload_perf_programs_test_1
                     PROPERTIES COST 300)
set_tests_properties(card.preload_card_programs_test card.preload_event_programs_test_0
                     PROPERTIES COST 200)
