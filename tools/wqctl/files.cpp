#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands.h"

namespace wqctl {
namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file = std::unique_ptr<std::FILE, file_closer>;

std::string cannot_write(const std::string& path, int error) {
    return "cannot write " + path + ": " + std::strerror(error);
}

}  // namespace

bool read_file(const std::string& path, std::vector<unsigned char>* bytes) {
    file in(std::fopen(path.c_str(), "rb"));
    if (!in) return false;
    bytes->clear();
    unsigned char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    return !std::ferror(in.get());
}

output_file::~output_file() {
    if (stream && !is_stdout()) std::fclose(stream);
}

std::optional<report> open_output(const std::string& path, output_file* out) {
    out->path = path;
    out->stream = out->is_stdout() ? stdout : std::fopen(path.c_str(), "wb");
    if (!out->stream) return own_failure(cannot_write(path, errno));
    return std::nullopt;
}

std::optional<report> write_output(output_file* out, const std::string& bytes) {
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out->stream) == bytes.size();
    const int error = errno;
    const bool closed = out->is_stdout() ? std::fflush(stdout) == 0 : std::fclose(out->stream) == 0;
    out->stream = nullptr;
    if (written && closed) return std::nullopt;
    return own_failure(cannot_write(out->path, written ? errno : error));
}

}  // namespace wqctl
