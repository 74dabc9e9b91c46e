# One spectrum analysis run and our real FFT against FFTW's single-precision
# real transform of the same size.
if(TARGET PkgConfig::FFTW3F)
  qm_bench(spectrum analysis PkgConfig::FFTW3F)
else()
  message(STATUS "fftw3f not found: bench_spectrum skipped")
endif()
