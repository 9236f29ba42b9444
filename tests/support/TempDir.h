#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <system_error>
#include <unistd.h>

namespace vintrace::test {

/// A fresh directory for one test, named after it and removed with everything in it.
class TempDir {
public:
    TempDir() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "vintrace-";
        if (info != nullptr) {
            name += std::string(info->test_suite_name()) + "-" + info->name() + "-";
        }
        name += std::to_string(::getpid());
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

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
