#include "FilePath.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
    std::string withoutTrailingSeparators (std::string path)
    {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();

        return path;
    }
}

namespace filepath
{
    std::string currentFolder()
    {
        // getcwd() fails (ENOENT) once the folder is deleted; taking "/" instead
        // would write the user's files somewhere they never asked for.
        char buffer[PATH_MAX];
        return ::getcwd (buffer, sizeof (buffer)) != nullptr ? std::string (buffer) : std::string();
    }

    std::string absolute (const std::string& argument)
    {
        std::string start;

        if (argument.empty() || argument[0] != '/')
        {
            start = currentFolder();

            if (start.empty())
                return {};
        }

        std::string result;

        for (const auto& text : { start, argument })
        {
            size_t position = 0;

            while (position <= text.size())
            {
                auto end = text.find ('/', position);

                if (end == std::string::npos)
                    end = text.size();

                const auto part = text.substr (position, end - position);

                if (! part.empty() && part != ".")
                    result += "/" + part;

                position = end + 1;
            }
        }

        return result.empty() ? std::string ("/") : result;
    }

    std::string badOutputName (const std::string& argument)
    {
        const auto name = fileName (argument);

        if (argument.empty())
            return "file names must not be empty";

        if (! argument.empty() && argument.back() == '/')
            return "'" + argument + "' ends in '/', which names a folder: give a file name";

        if (name == "." || name == "..")
            return "'" + argument + "' names a folder: give a file name";

        return {};
    }

    ResolvedOutput resolveOutput (const std::string& path, const std::string& what)
    {
        const auto name = fileName (path);
        const auto folder = parent (path);

        if (name.empty() || name == "." || name == "..")
            return { {}, "'" + shown (path) + "' names a folder: give the " + what + " a file name" };

        char real[PATH_MAX];

        if (::realpath (folder.c_str(), real) == nullptr)
        {
            const auto error = errno;
            const auto quoted = "'" + shown (folder) + "'";

            if (error == ENOENT)
                return { {}, "the " + what + " folder " + quoted + " does not exist" };

            if (error == ENOTDIR)
                return { {}, "the " + what + " folder " + quoted + " is not a folder" };

            return { {}, "cannot reach the " + what + " folder " + quoted + ": " + std::strerror (error) };
        }

        struct stat status
        {
        };

        // realpath() takes a file as readily as a folder.
        if (::stat (real, &status) == 0 && ! S_ISDIR (status.st_mode))
            return { {}, "the " + what + " folder '" + shown (folder) + "' is not a folder" };

        auto file = join (real, name);

        if (::lstat (file.c_str(), &status) == 0 && S_ISLNK (status.st_mode))
        {
            // Written through the link, onto the file it leads to, as cp writes; a
            // link that leads nowhere is refused, as cp refuses it, rather than
            // creating a file at a place the user may not even see.
            if (::realpath (file.c_str(), real) == nullptr)
            {
                const auto error = errno;

                if (error == ENOENT)
                    return { {}, "not writing through dangling symlink '" + shown (path) + "': create the file it points to, or remove the link" };

                return { {}, "cannot follow the link '" + shown (path) + "': " + std::strerror (error) };
            }

            file = real;
        }

        if (::stat (file.c_str(), &status) == 0)
        {
            if (S_ISDIR (status.st_mode))
                return { {}, what + " '" + shown (path) + "' is a folder" };

            // A device or a FIFO would be replaced by a plain file (as root, /dev/null
            // itself); a render writes files.
            if (! S_ISREG (status.st_mode))
                return { {}, what + " '" + shown (path) + "' is not a regular file" };

            // rename() needs no write permission on the file it replaces: a file the
            // user protected is refused here, as cp and sox refuse to open it.
            if (::faccessat (AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)
            {
                const auto error = errno;

                if (error == EROFS)
                    return { {}, "cannot write '" + shown (path) + "': it is on a read-only file system" };

                return { {}, "cannot write '" + shown (path) + "': " + std::strerror (error) + " (the file is write-protected: make it writable or choose another name)" };
            }
        }
        else if (errno != ENOENT)
        {
            return { {}, "cannot write '" + shown (path) + "': " + std::strerror (errno) };
        }

        return { file, {} };
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
            return ".";

        return slash == 0 ? std::string ("/") : path.substr (0, slash);
    }

    std::string join (const std::string& folder, const std::string& name)
    {
        return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
    }

    bool isDirectory (const std::string& path)
    {
        struct stat status
        {
        };
        return ::stat (path.c_str(), &status) == 0 && S_ISDIR (status.st_mode);
    }

    bool isFile (const std::string& path)
    {
        struct stat status
        {
        };
        return ::stat (path.c_str(), &status) == 0 && ! S_ISDIR (status.st_mode);
    }

    bool sameFile (const std::string& a, const std::string& b)
    {
        struct stat first
        {
        }, second {};

        if (::stat (a.c_str(), &first) != 0 || ::stat (b.c_str(), &second) != 0)
            return false;

        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    }

    std::string shown (const std::string& path)
    {
        // A newline or another control character in a name would break the one
        // line a message is: shown escaped, as ls -b shows it.
        if (std::any_of (path.begin(), path.end(), [] (char c) { return (unsigned char) c < 0x20 || c == 0x7f; }))
        {
            std::string escaped;

            for (auto c : path)
            {
                if (c == '\n')
                    escaped += "\\n";
                else if (c == '\t')
                    escaped += "\\t";
                else if ((unsigned char) c < 0x20 || c == 0x7f)
                {
                    char code[8];
                    std::snprintf (code, sizeof (code), "\\%03o", (unsigned char) c);
                    escaped += code;
                }
                else
                    escaped += c;
            }

            return shown (escaped);
        }

        const auto here = currentFolder();

        if (here.empty())
            return path;

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
