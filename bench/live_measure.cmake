# What a listener hears of the live loop through a sound server (delay,
# pass-through, DC, level dips and gaps while the filter changes); run it with
# bench/live-measure.sh, which starts the server it needs.
if(TARGET soundsystem_alsa)
  add_executable(live_measure live_measure.cpp)
  target_link_libraries(live_measure PRIVATE app_core soundsystem_alsa qm_warnings)
endif()
