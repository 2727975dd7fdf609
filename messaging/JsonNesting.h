#pragma once
// The nesting guard for JSON that arrives from remote peers. The JSON library
// copies, compares and serialises values recursively, so a deeply nested
// value overflows the stack as soon as it exists; remote text is therefore
// measured before it is parsed. The measuring itself keeps no recursion.

#include <cstddef>
#include <string>

// The deepest nesting of arrays and objects accepted from a peer; also the
// number of levels a LambdaTree mirrors as child nodes.
constexpr std::size_t kMaxJsonNesting = 64;

// True when the text nests arrays and objects more than maxDepth levels deep
// (a scalar is depth 0, [] is 1, [[]] is 2). Text that stops being JSON
// before that depth is reached counts as not too deep: its parse fails later.
// Never throws; any thread may call it.
bool jsonNestingExceeds(const std::string& text, std::size_t maxDepth = kMaxJsonNesting) noexcept;
