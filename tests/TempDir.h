#pragma once
// A scratch directory per test, removed afterwards, with small file helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("trackora-") + (info ? info->test_suite_name() : "x") + "-" +
                           (info ? info->name() : "y");
        for (auto& c : name)
            if (c == '/') c = '_';
        // The process too: the same test run from another checkout at the
        // same time must not remove this one's files.
        name += '-';
        name += std::to_string(getpid());
        root_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& root() const { return root_; }

    std::string write(const std::string& relative, std::string_view content) const {
        const auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    template <typename T>
    std::string writeRecords(const std::string& relative, const std::vector<T>& records) const {
        return write(relative, std::string_view(reinterpret_cast<const char*>(records.data()),
                                                records.size() * sizeof(T)));
    }

private:
    std::filesystem::path root_;
};
