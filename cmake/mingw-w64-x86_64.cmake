# The same sources for x86-64, for testing under Wine on a machine whose kernel runs no 32-bit
# programs (scripts/wine-preset).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
