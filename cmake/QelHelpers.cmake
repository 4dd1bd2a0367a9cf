# Shared build helpers: warnings, sanitizers and test registration.

function(qel_setup_sanitizers)
  if(QEL_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  elseif(QEL_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  elseif(NOT QEL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "QEL_SANITIZE must be '', 'address' or 'thread'")
  endif()
endfunction()

# qel_warnings(target): the project's warning set, errors when QEL_WERROR is on.
function(qel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(QEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# qel_add_test(name SOURCES ... [LIBS ...] [PORTS] [TIMEOUT s] [LABELS ...])
# One executable per unit, discovered as a single CTest entry. PORTS marks a
# test that binds the runtime's fixed TCP ports: CTest never runs two of them
# at the same time.
function(qel_add_test name)
  cmake_parse_arguments(T "PORTS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  qel_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_PORTS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK qel_fixed_ports)
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
