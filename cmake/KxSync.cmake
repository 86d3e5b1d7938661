# The fleet agent (tools/kxsync) speaks etcd's gRPC API: it needs gRPC,
# protobuf, their generators and etcd's proto files, all from Debian
# (libgrpc++-dev, libprotobuf-dev, protobuf-compiler-grpc,
# golang-etcd-server-dev). Without them the rest builds, and the agent is
# left out with a message.
set(KXENV_SYNC_FOUND OFF)
if(NOT WIN32)
  pkg_check_modules(KXGRPC IMPORTED_TARGET grpc++ protobuf)
  find_program(KXENV_PROTOC protoc)
  find_program(KXENV_GRPC_PLUGIN grpc_cpp_plugin)
  find_path(KXENV_ETCD_PROTO_DIR etcdserver/etcdserverpb/rpc.proto
            PATHS /usr/share/gocode/src/go.etcd.io/etcd NO_DEFAULT_PATH)
  if(KXGRPC_FOUND AND KXENV_PROTOC AND KXENV_GRPC_PLUGIN AND KXENV_ETCD_PROTO_DIR)
    set(KXENV_SYNC_FOUND ON)
  endif()
endif()
option(KXENV_SYNC "Build the fleet agent kxenv-sync (needs gRPC and etcd's protos)"
       ${KXENV_SYNC_FOUND})
if(NOT KXENV_SYNC_FOUND)
  message(STATUS "kxenv-sync left out: gRPC, protobuf, protoc, grpc_cpp_plugin "
                 "or etcd's proto files (golang-etcd-server-dev) not found")
  set(KXENV_SYNC OFF)
elseif(NOT KXENV_SYNC)
  message(STATUS "kxenv-sync left out (KXENV_SYNC=OFF)")
endif()
