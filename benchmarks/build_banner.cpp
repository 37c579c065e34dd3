// Prints, before a benchmark's own output, which architecture and build type
// its figures come from: figures of a Debug build or of the x86_64 test
// architecture are not the shipped client's.
#include <cstdio>
#include <string_view>

namespace {

struct BuildBanner {
  BuildBanner() {
#if defined(_WIN64)
    const char* arch = "x86_64";
#else
    const char* arch = "i686";
#endif
    std::printf("build: %s %s%s\n", arch, QUOR_BUILD_TYPE,
                std::string_view(QUOR_BUILD_TYPE) == "Debug" ? " (unoptimised: figures are not representative)" : "");
    std::fflush(stdout);
  }
};

const BuildBanner banner;

}  // namespace
