# Our per-sample FIR filtering against liquid-dsp's firfilt_rrrf, and the design time.
if(LIQUID_LIB)
  qm_bench(fir analysis ${LIQUID_LIB})
else()
  message(STATUS "liquid-dsp not found: bench_fir skipped")
endif()
