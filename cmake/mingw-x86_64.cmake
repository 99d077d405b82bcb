# Cross build of the 64-bit Windows console executables with Debian's
# mingw-w64 (package g++-mingw-w64-x86-64), for the Windows tests on machines
# that run no 32-bit programs:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILLEX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
