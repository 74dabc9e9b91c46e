# One block of the engine's pipeline (samples to float, FIR filter, live
# spectrum, back to 16 bits) against the same pipeline filtering with
# liquid-dsp's per-sample firfilt_rrrf, measured in the same run.
if(LIQUID_LIB)
  qm_bench(engine app_core ${LIQUID_LIB})
else()
  message(STATUS "liquid-dsp not found: bench_engine skipped")
endif()
