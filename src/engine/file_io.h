// Reading whole files, with the operating system's error text for messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelkor {

enum class ReadStage { Ok, Open, Read };

struct FileContents {
    ReadStage stage = ReadStage::Ok;  // where it failed, if it did
    std::string error;                // e.g. "No such file or directory (os error 2)"
    std::vector<uint8_t> bytes;
};

FileContents read_whole_file(const std::string& path);

// "dir" + "/" + name, without doubling a trailing "/".
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace zelkor
