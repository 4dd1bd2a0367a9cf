# The runtime's layers, bottom to top, and the check that every #include in
# runtime/src and runtime/include points to the same layer or one below:
#
#   cmake -P runtime/layers.cmake      (CTest: runtime_layers)
#
# A file belongs to exactly one layer; a new file must be added here, or
# the check fails naming it. README.md ("Inside the runtime") describes the
# layers.
set(layers platform contract queue channel senders instance api)
# Threads, time, processes, locks and traces of the host.
set(platform export.h port.h port.cpp port_file.cpp port_time.cpp port_thread_end.cpp port_win32.cpp
    port_zmq.h port_zmq.cpp sync.h trace.h trace.cpp)
# What the runtime promises its peers: the protocol (protocol/, included as
# qelmq/protocol/...) and the exported probe declarations checked against it.
set(contract probes.h probe_decls_check.c)
# Lock-free ring and the record-to-count map; the program's counter blocks
# and what they counted.
set(queue ArrayLockFreeQueue.h ArrayLockFreeQueue.cpp record_map.h counter_blocks.h
    counter_blocks.cpp)
# Sockets from the endpoint table, bounded sends, what every sender has;
# what reached the collector, and the spool for what could not.
set(channel net.h net.cpp SenderBase.h SenderBase.cpp delivery.h delivery.cpp spool.h spool.cpp)
# One sender per kind of data, and the text each kind is made of; the
# announcements of a stream's start and end, on the property channel.
set(senders AggregatingSender.h AggregatingSender.cpp QelSendDD.h QelSendDD.cpp QelSendCond.h
    QelSendCond.cpp QelSendMCDC.h QelSendMCDC.cpp TextSender.h TextSender.cpp QelSendLast.h
    QelSendLast.cpp QelSendProperty.h QelSendProperty.cpp QelSendUniTest.h QelSendUniTest.cpp
    leak.h leak.cpp value_item.h value_item.cpp staged_drain.h announce.h announce.cpp)
# The process's instance: bootstrap and shutdown, its threads, the
# per-thread stages in front of its queues, the crash guard, the reading of
# the program's counters into the senders.
set(instance thread_exit.h thread_exit.cpp insert_thread.h insert_thread.cpp thread_stage.h
    thread_stage.cpp crash_guard.h crash_guard.cpp crash_guard_port.h crash_guard_posix.cpp
    crash_guard_win32.cpp globle_ins.cpp counter_harvest.h counter_harvest.cpp test_window.h
    test_window.cpp)
# The probes and the C API.
set(api probes.cpp c_api.cpp QELMQLib.h exec_wrappers.cpp)

set(level 0)
foreach(layer IN LISTS layers)
  foreach(file IN LISTS ${layer})
    set(level_of_${file} ${level})
  endforeach()
  math(EXPR level "${level} + 1")
endforeach()
list(FIND layers contract protocol_level)

get_filename_component(runtime_dir "${CMAKE_CURRENT_LIST_DIR}" ABSOLUTE)
file(GLOB_RECURSE files RELATIVE "${runtime_dir}" "${runtime_dir}/src/*" "${runtime_dir}/include/*")
set(problems "")
foreach(path IN LISTS files)
  get_filename_component(name "${path}" NAME)
  if(NOT DEFINED level_of_${name})
    string(APPEND problems "  ${path}: in no layer (add it to runtime/layers.cmake)\n")
    continue()
  endif()
  set(from ${level_of_${name}})
  list(GET layers ${from} from_layer)
  file(STRINGS "${runtime_dir}/${path}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" target "${line}")
    if(target MATCHES "^qelmq/protocol/")
      set(to ${protocol_level})
    else()
      get_filename_component(target_name "${target}" NAME)
      if(NOT DEFINED level_of_${target_name})
        string(APPEND problems "  ${path}: includes \"${target}\", which is in no layer\n")
        continue()
      endif()
      set(to ${level_of_${target_name}})
    endif()
    if(to GREATER from)
      list(GET layers ${to} to_layer)
      string(APPEND problems
             "  ${path} (${from_layer}) includes \"${target}\" (${to_layer}): an upward arrow\n")
    endif()
  endforeach()
endforeach()

if(problems)
  string(JOIN " < " order ${layers})
  message(FATAL_ERROR "runtime layers, bottom to top: ${order}\n${problems}")
endif()
list(LENGTH files count)
message(STATUS "runtime layers: ${count} files, every include points to its layer or below")
