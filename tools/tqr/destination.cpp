#include "tools/tqr/destination.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tqr {

namespace {

bool write_all(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

Destination::~Destination() {
    discard();
    if (m_spool != nullptr) fclose(m_spool);
}

bool Destination::open(const PayloadHeader& header) {
    if (to_stdout() && m_sealed) {
        m_fd = STDOUT_FILENO;
        return true;
    }
    if (to_stdout()) {
        m_spool = tmpfile();
        if (m_spool == nullptr) return fail("cannot make a temporary file");
        m_fd = fileno(m_spool);
        return true;
    }
    std::string path = m_output;
    if (path.empty()) {
        path = safe_file_name(header.name);
    } else if (is_directory(path)) {
        path += "/" + safe_file_name(header.name);
    }
    m_final_path = path;
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    m_temp = (slash == std::string::npos ? "" : folder) + "." + base + ".tqr-XXXXXX";
    m_fd = mkstemp(&m_temp[0]);
    if (m_fd < 0) {
        m_temp.clear();
        return fail("cannot create a file in " + folder);
    }
    // mkstemp makes the file private; the payload gets the mode any new file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(m_fd, 0666 & ~mask);
    return true;
}

bool Destination::write(const unsigned char* data, size_t size) {
    return write_all(m_fd, data, size) || fail("cannot write " + describe());
}

bool Destination::commit() {
    if (to_stdout() && m_sealed) return true;
    if (to_stdout()) return fflush(m_spool) == 0 || fail("cannot spool the payload");
    int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0) return fail("cannot write " + describe());
    if (rename(m_temp.c_str(), m_final_path.c_str()) != 0) return fail("cannot rename to " + describe());
    m_temp.clear();
    return true;
}

void Destination::discard() {
    if (to_stdout()) return;
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    if (!m_temp.empty()) unlink(m_temp.c_str());
    m_temp.clear();
}

bool Destination::copy_spool() {
    if (m_spool == nullptr) return true;
    rewind(m_spool);
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, m_spool)) > 0) {
        if (fwrite(buffer, 1, n, stdout) != n) return false;
    }
    return fflush(stdout) == 0 && !ferror(m_spool);
}

bool Destination::fail(const std::string& what) {
    m_error = what + ": " + strerror(errno);
    return false;
}

}  // namespace tqr
