#include "FilePath.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
    std::string currentFolder()
    {
        std::error_code error;
        const auto folder = std::filesystem::current_path (error);
        return error ? std::string ("/") : folder.string();
    }

    std::string withoutTrailingSeparators (std::string path)
    {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();

        return path;
    }
}

namespace filepath
{
    std::string absolute (const std::string& argument)
    {
        std::filesystem::path path (argument);

        if (! path.is_absolute())
            path = std::filesystem::path (currentFolder()) / path;

        return withoutTrailingSeparators (path.lexically_normal().string());
    }

    std::string fileName (const std::string& path)
    {
        const auto slash = path.find_last_of ('/');
        return slash == std::string::npos ? path : path.substr (slash + 1);
    }

    std::string extension (const std::string& path)
    {
        const auto name = fileName (path);
        const auto dot = name.find_last_of ('.');
        return dot == std::string::npos ? std::string() : name.substr (dot);
    }

    std::string withoutExtension (const std::string& name)
    {
        return name.substr (0, name.size() - extension (name).size());
    }

    std::string parent (const std::string& path)
    {
        const auto slash = path.find_last_of ('/');

        if (slash == std::string::npos)
            return currentFolder();

        return slash == 0 ? std::string ("/") : path.substr (0, slash);
    }

    std::string join (const std::string& folder, const std::string& name)
    {
        return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
    }

    bool isDirectory (const std::string& path)
    {
        struct stat status {};
        return ::stat (path.c_str(), &status) == 0 && S_ISDIR (status.st_mode);
    }

    bool isFile (const std::string& path)
    {
        struct stat status {};
        return ::stat (path.c_str(), &status) == 0 && ! S_ISDIR (status.st_mode);
    }

    bool sameFile (const std::string& a, const std::string& b)
    {
        struct stat first {}, second {};

        if (::stat (a.c_str(), &first) != 0 || ::stat (b.c_str(), &second) != 0)
            return false;

        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    }

    std::string shown (const std::string& path)
    {
        const auto here = currentFolder();

        if (here == "/")
            return path.size() > 1 && path[0] == '/' ? path.substr (1) : path;

        if (path.size() > here.size() + 1 && path.compare (0, here.size(), here) == 0 && path[here.size()] == '/')
            return path.substr (here.size() + 1);

        return path;
    }

    std::string executable()
    {
        char buffer[PATH_MAX];
        const auto length = ::readlink ("/proc/self/exe", buffer, sizeof (buffer) - 1);
        return length > 0 ? std::string (buffer, (size_t) length) : std::string();
    }

    std::string homeFolder()
    {
        if (const auto* home = std::getenv ("HOME"); home != nullptr && *home != '\0')
            return withoutTrailingSeparators (home);

        if (const auto* user = ::getpwuid (::getuid()); user != nullptr && user->pw_dir != nullptr)
            return withoutTrailingSeparators (user->pw_dir);

        return "/";
    }
}
