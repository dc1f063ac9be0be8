#include "folder/archive_library.h"

#include <dlfcn.h>

namespace tqr {

// The version the extractor was compiled against: any libarchive 3 has the same SONAME and each of
// these functions.
static_assert(ARCHIVE_VERSION_NUMBER >= 3000000 && ARCHIVE_VERSION_NUMBER < 4000000, "libarchive 3 is expected");

namespace {

struct Loaded {
    ArchiveLibrary library;
    bool ok = false;
    std::string why;
};

Loaded load() {
    Loaded loaded;
    // By SONAME, searched as the libraries the tool links are; local, so that nothing else binds to it.
    void* handle = dlopen(TQR_ARCHIVE_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        loaded.why = error ? error : TQR_ARCHIVE_SONAME " cannot be loaded";
        return loaded;
    }
    // Never closed: the table stays valid for the process.
#define TQR_ARCHIVE_RESOLVE(name)                                                                     \
    loaded.library.name = reinterpret_cast<decltype(loaded.library.name)>(dlsym(handle, "archive_" #name)); \
    if (loaded.library.name == nullptr) {                                                             \
        loaded.why = TQR_ARCHIVE_SONAME " has no archive_" #name;                                     \
        return loaded;                                                                                \
    }
    TQR_ARCHIVE_FUNCTIONS(TQR_ARCHIVE_RESOLVE)
#undef TQR_ARCHIVE_RESOLVE
    loaded.ok = true;
    return loaded;
}

}  // namespace

std::string ArchiveLibrary::error_of(archive* failed) const {
    const char* text = error_string(failed);
    return text ? text : "an unknown error";
}

const ArchiveLibrary* archive_library(std::string* why) {
    static const Loaded loaded = load();  // initialised once, by the first thread to get here
    if (!loaded.ok) {
        *why = loaded.why;
        return nullptr;
    }
    return &loaded.library;
}

}  // namespace tqr
