#pragma once
// Path handling shared by the LambdaTree walks. A path is "/"-separated;
// empty components are skipped, so "a//b" names a/b and a path of slashes
// alone names the node itself.

#include <string>

namespace LambdaTreePath {

// The path without one leading and one trailing "/".
std::string trim(const std::string& path);

// Splits off the first component: key receives it, rest the path after it,
// trimmed. False, leaving both untouched, when the path has no component.
bool splitFirst(const std::string& path, std::string& key, std::string& rest);

} // namespace LambdaTreePath
