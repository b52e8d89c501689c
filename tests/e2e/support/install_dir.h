// install_dir.h - the installation directory the server was built with, and
// temporary directories, set up for one test and restored after it.
#pragma once

#include <string>
#include <string_view>

// Sets aside config.xml, tmp_config.xml and Logs/ of the installation
// directory for the life of the object; the destructor removes whatever the
// test left there and puts the originals back.
class InstallDir {
public:
    InstallDir();
    ~InstallDir();
    InstallDir(const InstallDir &) = delete;
    InstallDir &operator=(const InstallDir &) = delete;

    static std::string path() { return QUILLET_INSTALL_DIR; }
    static std::string config_path() { return path() + "/config.xml"; }
    // Creates Logs/ and returns its path.
    static std::string logs_dir();
    static void write_config(std::string_view doc);
    static void remove_config();

private:
    std::string saved_;
};

// A fresh directory under the system's temporary directory, removed with
// everything in it by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, std::string_view data);
