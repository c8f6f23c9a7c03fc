# Precompiled headers: the library headers most files include (Boost.JSON, Asio's coroutines,
# CLI11, fmt; gRPC where it is used; gtest, gmock and cpp-httplib in the tests) are compiled
# once per build and loaded by every file, instead of parsed again in each. Off unless
# -DVELKO_PCH=ON: from a clean clone with ccache off, ./scripts/demo took longer with them
# than without (746 s against 529 s at a load of 2), so they are kept for trying.
#
# GCC only loads a precompiled header made with the same options that bear on it (-fPIC for
# libraries, -fPIE for executables, the sanitizers, the macros the headers test), and otherwise
# parses the headers again, silently. So there are three: one made like a library of the
# product (reused by the libraries, object libraries and modules of the product's folders), one
# like a library built with gRPC's -pthread (the sim connection, the sim author library, the
# tests' support library), and one like a test executable (reused by the tests). CMake builds
# their users with -Winvalid-pch, so a user that cannot load its header says so. Targets with
# options of their own (the generated gRPC code, the example sims, the fuzz targets, the
# benchmarks, the executables' small mains) compile as before.

option(VELKO_PCH "Precompile the heaviest library headers (see docs/development.md)" OFF)

# The libraries built with gRPC's -pthread, which use velko_grpc_pch. (The sim module's one file
# of its own is built without velko_common's definitions, and without a precompiled header.)
set(velko_grpc_pch_users velko_sim_objects velko_sim_author_objects velko_test_support)

# The folders whose targets use a precompiled header (the folders below them do not).
set(velko_pch_folders common main/guidance main/dataset_replay cli/guidance_commands
    cli/sim_commands cli/data_commands platform compute_node spaces sim_connection sim_author
    host dev tests)

set(velko_pch_headers
  <algorithm> <chrono> <cstdint> <filesystem> <functional> <map> <memory> <optional>
  <sstream> <string> <string_view> <unordered_map> <variant> <vector>
  <boost/json.hpp>
  <boost/asio/awaitable.hpp> <boost/asio/co_spawn.hpp> <boost/asio/dispatch.hpp>
  <boost/asio/experimental/awaitable_operators.hpp> <boost/asio/post.hpp>
  <boost/asio/steady_timer.hpp> <boost/asio/this_coro.hpp> <boost/asio/thread_pool.hpp>
  <boost/asio/use_awaitable.hpp>
  <CLI/CLI.hpp> <fmt/format.h>)

# Makes the owner of one precompiled header: NAME is built as TYPE (OBJECT or EXECUTABLE)
# from an empty file, with the definitions of LIBRARIES and velko_common, so that it is
# compiled as its users are.
function(velko_pch_owner name type libraries headers)
  set(anchor ${CMAKE_BINARY_DIR}/${name}.cpp)
  if(type STREQUAL "EXECUTABLE")
    file(CONFIGURE OUTPUT ${anchor}
         CONTENT "// Builds the precompiled header ${name}.\nint main() { return 0; }\n")
    add_executable(${name} EXCLUDE_FROM_ALL ${anchor})
  else()
    file(CONFIGURE OUTPUT ${anchor} CONTENT "// Builds the precompiled header ${name}.\n")
    add_library(${name} OBJECT EXCLUDE_FROM_ALL ${anchor})
  endif()
  target_link_libraries(${name} PRIVATE ${libraries})
  # velko_common's own definitions, without linking it (velko_common uses velko_pch).
  target_compile_definitions(${name} PRIVATE
    $<TARGET_PROPERTY:velko_common,INTERFACE_COMPILE_DEFINITIONS>)
  target_precompile_headers(${name} PRIVATE ${headers})
endfunction()

# Sets the precompiled headers up for every target of velko_pch_folders; called once all the
# targets are defined.
function(velko_use_precompiled_headers)
  if(NOT VELKO_PCH)
    return()
  endif()
  set(common_libraries Boost::headers fmt::fmt spdlog::spdlog_header_only CLI11::CLI11)
  velko_pch_owner(velko_pch OBJECT "${common_libraries}" "${velko_pch_headers}")
  # The gRPC code brings -pthread, which the product's header must match.
  set(grpc_headers ${velko_pch_headers} <grpcpp/grpcpp.h>)
  velko_pch_owner(velko_grpc_pch OBJECT "${common_libraries};velko_proto" "${grpc_headers}")
  set(test_headers ${grpc_headers} <gtest/gtest.h> <gmock/gmock.h> <httplib.h>)
  set(test_libraries ${common_libraries} velko_proto GTest::gmock PkgConfig::HTTPLIB)
  velko_pch_owner(velko_test_pch EXECUTABLE "${test_libraries}" "${test_headers}")
  foreach(folder ${velko_pch_folders})
    get_property(targets DIRECTORY ${CMAKE_SOURCE_DIR}/${folder} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
      get_target_property(type ${target} TYPE)
      get_target_property(sources ${target} SOURCES)
      list(FILTER sources INCLUDE REGEX "\\.cpp$")
      if(NOT sources OR target MATCHES "_pch$")
        continue()
      endif()
      if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
        if(target IN_LIST velko_grpc_pch_users)
          target_precompile_headers(${target} REUSE_FROM velko_grpc_pch)
        elseif(NOT target STREQUAL "velko_sim_plugin")
          target_precompile_headers(${target} REUSE_FROM velko_pch)
        endif()
      elseif(type STREQUAL "EXECUTABLE" AND target MATCHES "_test$")
        target_precompile_headers(${target} REUSE_FROM velko_test_pch)
      endif()
    endforeach()
  endforeach()
endfunction()
