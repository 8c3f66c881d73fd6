// A fixture that runs each test in a fresh folder of its own (the current directory, as the
// walker and relative names expect), removes it afterwards and checks that no local file
// stayed open.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "local_files.h"

namespace tarnet::platform {

class ScratchFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnet-files-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_NE(::getcwd(home_, sizeof home_), nullptr);
        ASSERT_EQ(::chdir(dir_.c_str()), 0);
        LocalClearFileError();
    }
    void TearDown() override {
        EXPECT_EQ(LocalOpenFileCount(), 0);
        ASSERT_EQ(::chdir(home_), 0);
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

  public:
    static void Write(const char* name, const std::string& bytes) {
        std::FILE* f = std::fopen(name, "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    static std::string Read(const char* name) {
        std::FILE* f = std::fopen(name, "rb");
        if (f == nullptr) {
            return "(missing)";
        }
        std::string bytes;
        char chunk[4096];
        for (std::size_t n = 0; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
            bytes.append(chunk, n);
        }
        std::fclose(f);
        return bytes;
    }

  protected:
    std::string dir_;
    char home_[PATH_MAX]{};
};

}  // namespace tarnet::platform
