# Rules for zig's macOS targets (scripts/cross-build.sh): zig's Mach-O linker
# crashes making a bundle, so extension modules are made as shared libraries,
# which Python loads alike.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
