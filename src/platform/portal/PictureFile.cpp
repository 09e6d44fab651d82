#include "platform/portal/PictureFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace ovra::portal {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> realPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) return std::nullopt;
    return std::string(resolved);
}

bool inside(const std::optional<std::string>& folder, const std::string& file) {
    return folder && file.size() > folder->size() + 1 &&
           file.compare(0, folder->size(), *folder) == 0 && file[folder->size()] == '/';
}

// $TMPDIR when set, and /tmp in any case: a portal runs with its own environment and may not
// share the caller's $TMPDIR (the wlroots backend writes to /tmp).
bool insideTemporaryFolder(const std::string& path) {
    const auto file = realPath(path);
    if (!file) return false;
    const char* tmp = std::getenv("TMPDIR");
    return inside(realPath("/tmp"), *file) || (tmp && *tmp && inside(realPath(tmp), *file));
}

bool notBefore(const timespec& t, const timespec& start) {
    return t.tv_sec > start.tv_sec || (t.tv_sec == start.tv_sec && t.tv_nsec >= start.tv_nsec);
}

}  // namespace

std::optional<std::string> pathOfFileUri(const std::string& uri) {
    // Only a local file: "file://" followed by an absolute path, without a host name.
    constexpr std::string_view scheme = "file://";
    if (uri.compare(0, scheme.size(), scheme) != 0 || uri.size() <= scheme.size() ||
        uri[scheme.size()] != '/')
        return std::nullopt;
    std::string path;
    for (size_t i = scheme.size(); i < uri.size(); ++i) {
        if (uri[i] != '%') {
            path += uri[i];
            continue;
        }
        const int hi = i + 2 < uri.size() ? hexDigit(uri[i + 1]) : -1;
        const int lo = hi >= 0 ? hexDigit(uri[i + 2]) : -1;
        if (lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
        path += char(hi * 16 + lo);
        i += 2;
    }
    return path;
}

timespec pictureClockNow() {
    // Inode times come from the coarse clock; a fine reading taken first could be later than
    // the stamp of a file written right after it.
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}

bool removeIfMadeForCall(const std::string& path, const timespec& callStart) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
        return false;
    if (!notBefore(st.st_mtim, callStart) || !insideTemporaryFolder(path)) return false;
    return unlink(path.c_str()) == 0;
}

}  // namespace ovra::portal
