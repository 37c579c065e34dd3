// Prints, before a benchmark's own output, which architecture and build type
// its figures come from, and on what host: figures of a Debug build or of the
// x86_64 test architecture are not the shipped client's, and a 32-bit build
// on a 64-bit host runs under WoW64 (under Wine, its 32-bit loader).
#include <windows.h>

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
    SYSTEM_INFO native{};
    ::GetNativeSystemInfo(&native);
    const char* host = native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? "x86_64"
                       : native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "i686"
                                                                                       : "other";
    // Wine's ntdll exports its version; Windows' does not.
    using WineVersionFn = const char*(CDECL*)();
    const auto wineVersion = reinterpret_cast<WineVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    std::printf("host: %s, %lu processors%s%s\n", host, native.dwNumberOfProcessors, wineVersion ? ", Wine " : "",
                wineVersion ? wineVersion() : "");
    std::fflush(stdout);
  }
};

const BuildBanner banner;

}  // namespace
