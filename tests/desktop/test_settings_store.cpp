// The settings record on disk: what a missing, short or damaged file gives, and a save that
// goes through a temporary file and a rename, keeps the file's mode and leaves the old record in
// place when it fails.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "settings_store.h"

namespace tarnet::desktop {
namespace {

namespace fs = std::filesystem;

struct Record {
    char server[8];
    std::uint32_t port;
    std::uint32_t flags;
};
constexpr Record kDefaults{"mail", 25, 0};

class SettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/tarnet-settings-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        folder = templ;
        path   = folder + "/app.cfg";
    }
    void TearDown() override { fs::remove_all(folder); }

    void WriteFile(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
    static std::string Bytes(const Record& r) {
        return std::string(reinterpret_cast<const char*>(&r), sizeof r);
    }
    std::string ReadFile() const {
        std::string bytes(fs::file_size(path), '\0');
        std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<long>(bytes.size()));
        return bytes;
    }
    mode_t Mode() const {
        struct stat info {};
        stat(path.c_str(), &info);
        return info.st_mode & 07777;
    }
    std::size_t FilesInFolder() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    }

    std::string folder;
    std::string path;
};

bool PortIsSet(const void* record, std::size_t) {
    return static_cast<const Record*>(record)->port != 0;
}

TEST_F(SettingsStoreTest, WhatEachFileGives) {
    const Record saved{"smtp.x", 587, 7};
    const std::string whole = Bytes(saved);
    struct Case {
        const char* what;
        std::function<void()> make;
        SettingsStore::Loaded loaded;
        std::uint32_t port;  // the record's port afterwards
        std::uint32_t flags;
    };
    const Case cases[] = {
        {"missing",                   [] {},                                   SettingsStore::Loaded::kMissing, 25,  0},
        {"whole",                     [&] { WriteFile(whole); },               SettingsStore::Loaded::kWhole,   587, 7},
        {"short: only what is there", [&] { WriteFile(whole.substr(0, 12)); },
         SettingsStore::Loaded::kShort,                                                                         587, 0},
        {"longer than the record",    [&] { WriteFile(whole + "junk"); },
         SettingsStore::Loaded::kDamaged,                                                                       25,  0},
        {"refused by the check",
         [&] {
             WriteFile(Bytes(Record{"x", 0, 9}));
         },                                                                    SettingsStore::Loaded::kDamaged, 25,  0},
        {"a folder",                  [&] { fs::create_directory(path); },     SettingsStore::Loaded::kDamaged, 25,  0},
        {"a link",
         [&] {
             std::ofstream(folder + "/elsewhere", std::ios::binary) << whole;
             fs::create_symlink(folder + "/elsewhere", path);
         },                                                                    SettingsStore::Loaded::kDamaged, 25,  0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder);
        fs::create_directory(folder);
        c.make();
        Record record = kDefaults;
        EXPECT_EQ(SettingsStore(path).Load(&record, sizeof record, PortIsSet), c.loaded);
        EXPECT_EQ(record.port, c.port);
        EXPECT_EQ(record.flags, c.flags);
    }
}

TEST_F(SettingsStoreTest, SaveCreatesOwnerOnlyAndNeverWidensAnExistingMode) {
    const SettingsStore store(path);
    std::string error;
    const Record record{"a", 1, 2};
    ASSERT_TRUE(store.Save(&record, sizeof record, error)) << error;
    EXPECT_EQ(ReadFile(), Bytes(record));
    EXPECT_EQ(Mode(), 0600u);
    for (const mode_t mode : {mode_t{0400}, mode_t{0640}}) {
        chmod(path.c_str(), mode);
        ASSERT_TRUE(store.Save(&record, sizeof record, error)) << error;
        EXPECT_EQ(Mode(), mode);
    }
    EXPECT_EQ(FilesInFolder(), 1u) << "no temporary file left behind";
}

TEST_F(SettingsStoreTest, AFailedSaveLeavesTheOldFile) {
    const Record old{"old", 21, 1};
    const Record fresh{"new", 2121, 2};
    std::string error;
    ASSERT_TRUE(SettingsStore(path).Save(&old, sizeof old, error));

    // A write that fails half-way: the file size limit of the process.
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small        = before;
    small.rlim_cur      = 4;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool saved = SettingsStore(path).Save(&fresh, sizeof fresh, error);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(saved);
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(), Bytes(old));
    EXPECT_EQ(FilesInFolder(), 1u);

    // A folder nobody may write in (even root cannot create files under /proc).
    EXPECT_FALSE(SettingsStore("/proc/tarnet-app.cfg").Save(&fresh, sizeof fresh, error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists("/proc/tarnet-app.cfg"));
}

}  // namespace
}  // namespace tarnet::desktop
