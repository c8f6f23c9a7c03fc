"""The sim service's gRPC stubs, generated from proto/sim.proto when velko is built."""

try:
    from ._proto import sim_pb2, sim_pb2_grpc  # noqa: F401  (generated into the build folder)
except ImportError as error:
    raise ImportError(
        "velko_sim's gRPC stubs are missing: build them with ./scripts/build and put the "
        "build folder's python/ directory (build/python, which holds velko_sim with its "
        f"stubs) on PYTHONPATH ({error})") from error
