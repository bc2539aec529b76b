#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelkor {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (fills the buffer); these two overloads accept either.
[[maybe_unused]] const char* pick_text(const char* text, const char*) { return text; }
[[maybe_unused]] const char* pick_text(int rc, const char* buf) {
    return rc == 0 ? buf : "Unknown error";
}

std::string os_error_text(int err) {
    char buf[256] = {};
    std::string text = pick_text(strerror_r(err, buf, sizeof buf), buf);
    text += " (os error ";
    text += std::to_string(err);
    text += ")";
    return text;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

FileContents read_whole_file(const std::string& path) {
    FileContents out;
    // The OS would silently cut the name at the NUL and open another file.
    if (path.find('\0') != std::string::npos) {
        out.stage = ReadStage::Open;
        out.error = "file name contained an unexpected NUL byte";
        return out;
    }
    int raw;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        out.stage = ReadStage::Open;
        out.error = os_error_text(errno);
        return out;
    }
    Fd fd(raw);

    // The size is only a hint: the file may change while it is read.
    struct stat st;
    size_t cap = 8192;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        cap = size_t(st.st_size) + 1;  // +1 so that EOF is seen without a regrow
    out.bytes.resize(cap);
    size_t used = 0;
    for (;;) {
        if (used == out.bytes.size()) out.bytes.resize(out.bytes.size() * 2);
        const ssize_t got = ::read(fd.get(), out.bytes.data() + used, out.bytes.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            out.stage = ReadStage::Read;
            out.error = os_error_text(errno);
            out.bytes = {};
            return out;
        }
        if (got == 0) break;
        used += size_t(got);
    }
    out.bytes.resize(used);
    return out;
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace zelkor
