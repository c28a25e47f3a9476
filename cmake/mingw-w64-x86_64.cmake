# Cross-compiles the 64-bit Windows program with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). The -posix compilers give std::thread; everything is linked
# statically so that usb-thermometer.exe runs on a Windows machine without any DLL of ours.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(THERMO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${THERMO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${THERMO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${THERMO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${THERMO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# To run the cross-built tests under wine, configure with
# -DCMAKE_CROSSCOMPILING_EMULATOR=<repo>/tests/wine/wine-run (tests/wine and
# scripts/build-windows do): ctest then starts every test program, and GoogleTest's discovery,
# through it.
