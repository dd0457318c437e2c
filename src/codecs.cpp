// OpenCV's image codecs, loaded from a module of the program's own the first
// time a file needs them.

#include "codecs.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include <dlfcn.h>

namespace sixfold {

namespace {

constexpr const char *ModuleName = "sixfold-codecs.so";

// The module's functions, once it is loaded; null where it could not be.
struct Module
{
    bool (*read)(const char *path, cv::Mat *picture) = nullptr;
    std::string missing;   // why there is none
};

// Loads the module from beside the program (the build tree) or from the
// program's library folder (installed), once.
const Module &module()
{
    static const Module loaded = [] {
        Module m;
        std::error_code error;
        const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
        std::string tried;
        for (const std::filesystem::path &folder : {program, program / SIXFOLD_CODECS_FROM_PROGRAM}) {
            const std::string file = (folder / ModuleName).lexically_normal().string();
            tried += (tried.empty() ? "" : " or ") + file;
            void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle)
                continue;
            auto version = reinterpret_cast<int (*)()>(dlsym(handle, "sixfold_codecs_version"));
            m.read = reinterpret_cast<bool (*)(const char *, cv::Mat *)>(dlsym(handle, "sixfold_codecs_read"));
            if (version && version() == 1 && m.read)
                return m;   // kept loaded for the program's life
            m.read = nullptr;
            dlclose(handle);
        }
        m.missing = "no usable " + std::string(ModuleName) + " (looked for " + tried + ")";
        return m;
    }();
    return loaded;
}

} // namespace

cv::Mat readWithCodecs(const std::string &path)
{
    const Module &codecs = module();
    cv::Mat picture;
    if (codecs.read)
        codecs.read(path.c_str(), &picture);
    else
        std::fprintf(stderr, "sixfold: cannot read this kind of file: %s\n", codecs.missing.c_str());
    return picture;
}

} // namespace sixfold
