# Cross build for 64-bit Windows with MinGW-w64 (the POSIX-threads flavour,
# for std::thread and std::mutex). Programs link libgcc, libstdc++ and
# winpthread statically so they run without any MinGW DLL beside them, and
# the build runs them (tests, test discovery) under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARRION_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARRION_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARRION_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARRION_MINGW_TRIPLE}-windres)

# Libraries built for Windows (GoogleTest, SQLiteCpp; Qt in a prefix of its
# own) come from the cache; host programs are still found on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUARRION_MINGW_TRIPLE} ${QUARRION_WIN_PREFIX} ${QUARRION_WIN_QT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUARRION_WIN_PREFIX QUARRION_WIN_QT)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
