// The files wqctl reads and writes for the box: checked before the box is
// asked, so that a file failure costs no exchange, and never left half
// written under the name the user gave.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "commands.h"

namespace wqctl {
namespace {

// The name a regular file is written under until it is complete.
constexpr char staging_suffix[] = ".partial";

std::string cannot(const std::string& verb, const std::string& path, int error) {
    return "cannot " + verb + " " + path + ": " + std::strerror(error);
}

const char* kind_of_file(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

input_file::~input_file() {
    if (fd >= 0) ::close(fd);
}

std::optional<report> open_input(const std::string& path, std::uint64_t largest, input_file* in) {
    in->path = path;
    // Without O_NONBLOCK a FIFO would hold the open until a writer came.
    in->fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (in->fd < 0 || ::fstat(in->fd, &st) != 0) return own_failure(cannot("read", path, errno));
    if (!S_ISREG(st.st_mode))
        return own_failure("cannot read " + path + ": " + kind_of_file(st.st_mode) + ", not a file");
    in->size = static_cast<std::uint64_t>(st.st_size);
    if (in->size == 0) return own_failure("cannot read " + path + ": the file is empty");
    if (in->size > largest) {
        return own_failure("cannot read " + path + ": " + std::to_string(in->size) + " bytes, more than the " +
                           std::to_string(largest) + " the box takes");
    }
    return std::nullopt;
}

std::optional<report> read_input(const input_file& in, std::uint64_t offset, std::size_t size,
                                  unsigned char* bytes) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(in.fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return own_failure(cannot("read", in.path, errno));
        if (got == 0) return own_failure("cannot read " + in.path + ": it became shorter while it was read");
        done += static_cast<std::size_t>(got);
    }
    return std::nullopt;
}

output_file::~output_file() {
    if (!stream_ || stream_ == stdout) return;
    std::fclose(stream_);
    if (staged() && !keep_) ::unlink(written_to_.c_str());
}

std::optional<report> output_file::open(const std::string& path) {
    path_ = path;
    written_to_ = path;
    if (path == "-") {
        stream_ = stdout;
        return std::nullopt;
    }
    // A regular file (or a new one) is written beside itself and renamed
    // into place when complete, a link's file beside that file, so the link
    // stays; anything else (/dev/null, a FIFO) is written as it is.
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return own_failure(cannot("write", path, EISDIR));
    std::error_code ec;
    if (exists && std::filesystem::is_symlink(path, ec)) path_ = std::filesystem::canonical(path, ec).string();
    if (ec) return own_failure("cannot write " + path + ": " + ec.message());
    written_to_ = path_ + (!exists || S_ISREG(st.st_mode) ? staging_suffix : "");
    stream_ = std::fopen(written_to_.c_str(), "wb");
    if (!stream_) return own_failure(cannot("write", path, errno));
    return std::nullopt;
}

bool output_file::write(std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size() && std::fflush(stream_) == 0;
}

std::optional<report> output_file::complete() {
    if (stream_ == stdout) return std::nullopt;
    const bool closed = std::fclose(stream_) == 0;
    const int error = errno;
    stream_ = nullptr;
    if (!closed) {
        ::unlink(written_to_.c_str());
        return own_failure(cannot("write", written_to_, error));
    }
    if (staged() && ::rename(written_to_.c_str(), path_.c_str()) != 0) {
        const std::string reason = cannot("rename " + written_to_ + " to", path_, errno);
        ::unlink(written_to_.c_str());
        return own_failure(reason);
    }
    written_to_ = path_;
    return std::nullopt;
}

std::optional<report> write_whole(output_file* out, std::string_view bytes) {
    if (!out->write(bytes)) return own_failure(cannot("write", out->written_to(), errno));
    return out->complete();
}

}  // namespace wqctl
