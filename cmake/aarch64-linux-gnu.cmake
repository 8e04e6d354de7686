# Cross build for 64-bit ARM Linux with Debian multiarch: the arm64 Qt libraries and their
# CMake packages live under /usr/lib/aarch64-linux-gnu, the code generators (moc) are the
# host's. Usage: cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Programs (moc, rcc, the emulator) are the host's; libraries, headers and CMake packages are
# looked up in the arm64 multiarch folders through CMAKE_LIBRARY_ARCHITECTURE.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config (which FindOpenSSL asks first) reads the arm64 packages' files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# Qt's host tools for a cross build.
set(QT_HOST_PATH /usr CACHE PATH "Prefix of the host's Qt tools")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake
    CACHE PATH "CMake packages of the host's Qt tools")

# ctest runs the arm64 test executables through qemu's user-mode emulator. The arm64 dynamic
# loader and libraries are found at their multiarch paths, so no QEMU_LD_PREFIX is needed.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(ORTV_QEMU_AARCH64 qemu-aarch64)
    if(ORTV_QEMU_AARCH64)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${ORTV_QEMU_AARCH64})
    endif()
endif()
