# Writes one .proto file with only the etcd v3 messages and calls the sync
# agent uses, cut from etcd's own proto files (Debian's
# golang-etcd-server-dev). The gogoproto and google.api options are dropped
# (our generator needs neither), and the two messages of mvccpb join the
# file under their plain names: message names never reach the wire, the
# package does, in the calls' paths (/etcdserverpb.KV/Range), and it stays.
#
#   cmake -DRPC=.../rpc.proto -DKV=.../kv.proto -DOUT=.../etcd.proto -P EtcdProto.cmake
cmake_minimum_required(VERSION 3.25)

set(messages
  ResponseHeader RangeRequest RangeResponse PutRequest PutResponse
  DeleteRangeRequest DeleteRangeResponse RequestOp ResponseOp Compare
  TxnRequest TxnResponse WatchRequest WatchCreateRequest WatchCancelRequest
  WatchProgressRequest WatchResponse CompactionRequest CompactionResponse
  AuthenticateRequest AuthenticateResponse KeyValue Event
  LeaseGrantRequest LeaseGrantResponse LeaseRevokeRequest LeaseRevokeResponse
  LeaseKeepAliveRequest LeaseKeepAliveResponse)
set(calls KV.Range KV.Put KV.DeleteRange KV.Txn KV.Compact Watch.Watch
          Auth.Authenticate Lease.LeaseGrant Lease.LeaseRevoke
          Lease.LeaseKeepAlive)

# Appends to `out` the kept top-level blocks of one proto file.
function(cut_blocks file out_var)
  # Semicolons and square brackets mean something in a CMake list: they
  # travel as placeholders until the text is written.
  file(READ "${file}" whole)
  string(REPLACE ";" "@SC@" whole "${whole}")
  string(REPLACE "[" "@LB@" whole "${whole}")
  string(REPLACE "]" "@RB@" whole "${whole}")
  string(REPLACE "\n" ";" lines "${whole}")
  set(out "")
  set(depth 0)
  set(keep OFF)
  set(service "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "//.*$" "" code "${line}")
    string(REGEX MATCHALL "{" opens "${code}")
    string(REGEX MATCHALL "}" closes "${code}")
    list(LENGTH opens nopen)
    list(LENGTH closes nclose)
    if(depth EQUAL 0)
      if(code MATCHES "^(message|enum) +([A-Za-z]+)")
        set(name "${CMAKE_MATCH_2}")
        set(keep OFF)
        if(name IN_LIST messages)
          set(keep ON)
        endif()
        set(service "")
      elseif(code MATCHES "^service +([A-Za-z]+)")
        set(service "${CMAKE_MATCH_1}")
        set(keep OFF)
        set(service_calls "")
      endif()
    endif()
    if(keep)
      string(REPLACE "mvccpb." "" code "${code}")
      string(APPEND out "${code}\n")
    elseif(service AND depth EQUAL 1 AND code MATCHES "^ *rpc +([A-Za-z]+)")
      if("${service}.${CMAKE_MATCH_1}" IN_LIST calls)
        string(REGEX REPLACE " *{ *$" "@SC@" code "${code}")
        string(APPEND service_calls "${code}\n")
      endif()
    endif()
    math(EXPR depth "${depth} + ${nopen} - ${nclose}")
    if(depth EQUAL 0 AND service AND nclose GREATER 0)
      if(service_calls)
        string(APPEND out "service ${service} {\n${service_calls}}\n")
      endif()
      set(service "")
    endif()
    if(depth EQUAL 0)
      set(keep OFF)
    endif()
  endforeach()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

cut_blocks("${KV}" kv_part)
cut_blocks("${RPC}" rpc_part)
set(text "// Generated from etcd's rpc.proto and kv.proto; do not edit.\n")
string(APPEND text "syntax = \"proto3\";\npackage etcdserverpb;\n\n")
string(APPEND text "${kv_part}${rpc_part}")
string(REPLACE "@SC@" ";" text "${text}")
string(REPLACE "@LB@" "[" text "${text}")
string(REPLACE "@RB@" "]" text "${text}")
# Only write a changed file, so that a reconfigure recompiles nothing.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${text}")
