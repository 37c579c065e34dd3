// Estimates of the heap blocks a standard container holds, for the figures
// a long-running component reports about its own memory (the engine's
// wkeQueryMemory). They count what the container asked the allocator for,
// not the allocator's own headers and rounding, and cost one pass over the
// container; never call them on a path that runs per frame.
//
//   bytes += HeapBytesOf(node.text) + HeapBytesOf(node.children);
//
// Thread: any; the container must not change meanwhile.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace halyx {

// A string within its small-string buffer holds no block.
template <typename Char>
std::size_t HeapBytesOf(const std::basic_string<Char>& text) {
  return text.capacity() > std::basic_string<Char>().capacity() ? (text.capacity() + 1) * sizeof(Char) : 0;
}

template <typename T>
std::size_t HeapBytesOf(const std::vector<T>& items) {
  return items.capacity() * sizeof(T);
}

// The bucket array and one node per entry (its link, the value and the
// cached hash), without what the keys and values hold themselves.
template <typename Key, typename Value>
std::size_t HeapBytesOf(const std::unordered_map<Key, Value>& map) {
  return map.bucket_count() * sizeof(void*) +
         map.size() * (sizeof(void*) + sizeof(std::pair<const Key, Value>) + sizeof(std::size_t));
}

}  // namespace halyx
