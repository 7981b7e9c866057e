#include <cstdio>
#include <memory>

#include "commands.h"

namespace wqctl {
namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file = std::unique_ptr<std::FILE, file_closer>;

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

bool write_file(const std::string& path, const unsigned char* bytes, std::size_t size) {
    file out(std::fopen(path.c_str(), "wb"));
    if (!out) return false;
    const bool written = std::fwrite(bytes, 1, size, out.get()) == size;
    return std::fclose(out.release()) == 0 && written;
}

}  // namespace wqctl
