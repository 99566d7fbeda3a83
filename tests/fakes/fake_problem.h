// What every fake does when the code under test misuses it (a handle closed twice, a host never
// released, a call it must not make): says so and ends the process. Tests, benchmarks, the soak
// and the fuzz targets share the fakes, and in each of them this is a finding.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quolin::fakes {

[[noreturn]] inline void fake_problem(const char* fake, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", fake, what.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace quolin::fakes
