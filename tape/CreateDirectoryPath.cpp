#include "tape/TapeJob.h"

#include "platform/Errors.h"
#include "platform/Files.h"

#include <vector>

// Only "/" separates: on Linux "\" is an ordinary character of a name, and the file is
// later opened under exactly the name given, so the folders made must be the ones it names.
// The root is never created: "/" of an absolute path, or the first component of a relative one (like a
// drive), so a relative path only ever grows below a directory that already exists.
bool CreateDirectoryPath(const std::string& fileName)
{
    uint32_t error = ERROR_SUCCESS;
    std::string failed;
    return CreateDirectoryPath(fileName, error, failed);
}

bool CreateDirectoryPath(const std::string& fileName, uint32_t& error, std::string& failedPath)
{
    error = ERROR_PATH_NOT_FOUND;
    failedPath = fileName;
    std::string name;
    name.reserve(fileName.size());
    for (char c : fileName) {
        if (c == '/' && !name.empty() && name.back() == '/')
            continue;
        name += c;
    }

    size_t last = name.rfind('/');
    if (last == std::string::npos)
        return false;
    std::string dirs = name.substr(0, last);  // without the file name

    size_t firstSep = dirs.find('/');
    if (firstSep == std::string::npos)
        return false;  // the file lies directly in the root
    std::string path = dirs.substr(0, firstSep + 1);  // the root with its separator
    std::string rest = dirs.substr(firstSep + 1);

    std::vector<std::string> names;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t sep = rest.find('/', start);
        if (sep == std::string::npos)
            sep = rest.size();
        if (sep > start)
            names.push_back(rest.substr(start, sep - start));
        start = sep + 1;
    }

    for (const std::string& dir : names) {
        path += dir;
        error = Files().CreateDirectory(path);
        if (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS) {
            failedPath = path;
            return false;
        }
        path += '/';
    }
    error = ERROR_SUCCESS;
    failedPath.clear();
    return true;
}
