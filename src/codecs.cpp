// OpenCV's image codecs, loaded from a module of the program's own the first
// time a file needs them.

#include "codecs.h"

#include "codecsmodule.h"
#include "imreadlimit.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include <dlfcn.h>

namespace sixfold {

namespace {

constexpr const char *ModuleName = "sixfold-codecs.so";

// The module's reading function, once it is loaded; null where it could
// not be, and then why.
struct Module
{
    codecsmodule::Read *read = nullptr;
    std::string missing;
};

// Loads the first usable module of the candidates, once.
const Module &module()
{
    static const Module loaded = [] {
        Module m;
        if (const char *setting = unreadableCodecSetting()) {
            m.missing = std::string("OpenCV cannot read the value of ") + setting;
            return m;
        }
        std::error_code error;
        const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
        std::string tried;
        for (const std::string &file : codecsModuleCandidates(error ? std::string() : program.string())) {
            tried += (tried.empty() ? "" : "; ") + file + ": ";
            void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char *why = dlerror();
                tried += why ? why : "not loadable";
                continue;
            }
            auto *version = reinterpret_cast<codecsmodule::Version *>(dlsym(handle, codecsmodule::VersionSymbol));
            m.read = reinterpret_cast<codecsmodule::Read *>(dlsym(handle, codecsmodule::ReadSymbol));
            if (version && version() == codecsmodule::InterfaceVersion && m.read)
                return m;   // kept loaded for the program's life
            tried += version ? "another version of the module" : "not the module";
            m.read = nullptr;
            dlclose(handle);
        }
        m.missing = "no usable " + std::string(ModuleName) + " (" + (tried.empty() ? "nowhere to look" : tried) + ")";
        return m;
    }();
    return loaded;
}

} // namespace

std::vector<std::string> codecsModuleCandidates(const std::string &program)
{
    namespace fs = std::filesystem;
    std::vector<std::string> candidates;
    auto add = [&candidates](const fs::path &folder) {
        const std::string file = (folder / ModuleName).lexically_normal().string();
        if (folder.is_absolute() && std::find(candidates.begin(), candidates.end(), file) == candidates.end())
            candidates.push_back(file);
    };
    const fs::path folder = fs::path(program).parent_path();
    if (fs::path(program).is_absolute() && folder.lexically_normal() != fs::path(SIXFOLD_INSTALLED_PROGRAM_FOLDER)) {
        add(folder);   // the build folder
        add(folder / SIXFOLD_CODECS_FROM_PROGRAM);   // an installation moved elsewhere
    }
    add(SIXFOLD_INSTALLED_CODECS_FOLDER);
    return candidates;
}

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
