// A program's settings: one fixed binary record in a file of the user's configuration folder.
// Read at start into a record that holds the defaults: a missing file leaves them, a short file
// gives only the bytes it has, a damaged one (not a regular file, longer than the record, or
// refused by the program's check) leaves the defaults; nothing is read past the record.
// Written at exit through a temporary file in the same folder and a rename, so a failed write
// never leaves a half-written record in place of the old one. A new file is readable and
// writable by its owner only (0600); an existing file keeps its mode, never a wider one.
#pragma once

#include <cstddef>
#include <string>

namespace tarnet::desktop {

class SettingsStore {
  public:
    // Says whether a record read from the file may be used.
    using CheckFn = bool (*)(const void* record, std::size_t size);

    explicit SettingsStore(std::string path) : path_(std::move(path)) {}

    // "$XDG_CONFIG_HOME/tarnet/<name>", or "$HOME/.config/tarnet/<name>"; the folder is created
    // (0700) when missing. Empty when neither variable is set.
    static std::string DefaultPath(const std::string& name);

    enum class Loaded { kMissing, kShort, kWhole, kDamaged };
    // Fills `record` (which holds the defaults) from the file; `check` may be null.
    Loaded Load(void* record, std::size_t size, CheckFn check = nullptr) const;
    // Writes the record; false with the reason in `error` when it could not be saved (the old
    // file is then unchanged).
    bool Save(const void* record, std::size_t size, std::string& error) const;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace tarnet::desktop
