# Every library the project links, found once here. scripts/install-deps.sh installs them.
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
# libX11 1.7 or later: XSetIOErrorExitHandler lets a lost X server fail calls instead of ending the
# process. xcb: to see whether the window system's own connection broke.
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11>=1.7 xext xdamage xfixes xrandr xscrnsaver xcb)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
# The screen of a Wayland session arrives as a PipeWire video stream.
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
pkg_check_modules(AVCODEC REQUIRED IMPORTED_TARGET libavcodec libavutil)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse libpulse-simple)
pkg_check_modules(OPENSSL REQUIRED IMPORTED_TARGET openssl)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip zlib)
pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)

find_library(YUV_LIBRARY NAMES yuv REQUIRED)
find_path(YUV_INCLUDE_DIR NAMES libyuv.h REQUIRED)
add_library(quill::yuv INTERFACE IMPORTED)
target_link_libraries(quill::yuv INTERFACE ${YUV_LIBRARY})
target_include_directories(quill::yuv SYSTEM INTERFACE ${YUV_INCLUDE_DIR})

find_library(LAME_LIBRARY NAMES mp3lame REQUIRED)
find_path(LAME_INCLUDE_DIR NAMES lame/lame.h REQUIRED)
add_library(quill::lame INTERFACE IMPORTED)
target_link_libraries(quill::lame INTERFACE ${LAME_LIBRARY})
target_include_directories(quill::lame SYSTEM INTERFACE ${LAME_INCLUDE_DIR})

find_path(ASIO_INCLUDE_DIR NAMES asio.hpp REQUIRED)
add_library(quill::asio INTERFACE IMPORTED)
target_include_directories(quill::asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(quill::asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)

find_package(Qt6 REQUIRED COMPONENTS Widgets)

if(QUILL_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
endif()
find_package(benchmark QUIET)
