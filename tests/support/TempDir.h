#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <system_error>
#include <unistd.h>

namespace vintrace::test {

/// A fresh directory under the system's temporary directory, removed with everything in it.
/// Its name is short on purpose: socket paths inside it must stay under the 108-byte limit.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vintrace-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) {
            // A test may have taken permissions away; give them back so everything goes.
            std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    /// The path of `name` inside the directory.
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

    /// Writes `bytes` to a file in the directory and returns its path.
    std::string write(const std::string& name, std::span<const std::uint8_t> bytes) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good()) << "cannot write " << file;
        return file.string();
    }

private:
    std::filesystem::path path_;
};

} // namespace vintrace::test
