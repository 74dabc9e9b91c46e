# The driver that bench/window-cpu.sh loads into the program to press
# "Sample" (a module for LD_PRELOAD, not a benchmark program).
if(TARGET Qt6::Widgets)
  add_library(bench_window_driver MODULE window-driver.cpp)
  target_link_libraries(bench_window_driver PRIVATE qm_warnings Qt6::Widgets)
else()
  message(STATUS "Qt 6 Widgets not found: bench_window_driver skipped")
endif()
