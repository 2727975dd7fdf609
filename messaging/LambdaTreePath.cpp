#include "messaging/LambdaTreePath.h"

namespace LambdaTreePath {

std::string trim(const std::string& path)
{
    size_t begin = !path.empty() && path.front() == '/' ? 1 : 0;
    size_t end = path.size() > begin && path.back() == '/' ? path.size() - 1 : path.size();
    return path.substr(begin, end - begin);
}

bool splitFirst(const std::string& path, std::string& key, std::string& rest)
{
    size_t begin = path.find_first_not_of('/');
    if (begin == std::string::npos)
        return false;
    size_t end = path.find('/', begin);
    key = path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    rest = end == std::string::npos ? std::string() : trim(path.substr(end));
    return true;
}

} // namespace LambdaTreePath
