// Hostile pages for the engine, made from a seed and a page number: the same
// pair gives the same page on every run, so a page that breaks the engine is
// found again from the two numbers alone. A page is either grammar-made
// (tangled HTML, CSS with junk values, a script that attacks the DOM) or a
// page of the repository with its sheets and scripts mutated, and each comes
// with a seed for the input the driver plays on it.
//
//   HostilePageMaker maker(ReadSeedPages(folder));
//   HostilePage page = maker.Make(seed, index);
//
// Thread: any; a maker only reads the seed pages it was given.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace halyx::bench {

// Files by name ("page.html" first), as raw bytes.
using PageFiles = std::vector<std::pair<std::string, std::string>>;

struct HostilePage {
  PageFiles files;
  std::uint64_t inputSeed = 0;
};

// A small generator whose sequence is fixed by its seed (not the standard
// library's distributions, which differ between library versions).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  int Below(int bound) { return bound <= 0 ? 0 : static_cast<int>(Next() % static_cast<std::uint64_t>(bound)); }
  bool Chance(int percent) { return Below(100) < percent; }
  template <typename T, std::size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(static_cast<int>(N))];
  }

 private:
  std::uint64_t state_;
};

class HostilePageMaker {
 public:
  // `seeds`: repository pages, each with the sheets and scripts it links.
  explicit HostilePageMaker(std::vector<PageFiles> seeds) : seeds_(std::move(seeds)) {}
  HostilePage Make(std::uint64_t seed, int index) const;

 private:
  std::vector<PageFiles> seeds_;
};

}  // namespace halyx::bench
