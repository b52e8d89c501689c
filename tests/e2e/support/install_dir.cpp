// install_dir.cpp - set-aside and restore of the installation directory.

#include "install_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char *STATE[] = {"config.xml", "tmp_config.xml", "Logs"};

}  // namespace

InstallDir::InstallDir() : saved_(path() + "/.e2e-saved-" + std::to_string(getpid()))
{
    fs::create_directories(saved_);
    for (const char *name : STATE)
        if (fs::exists(fs::symlink_status(path() + "/" + name)))
            fs::rename(path() + "/" + name, saved_ + "/" + name);
}

InstallDir::~InstallDir()
{
    std::error_code ec;
    for (const char *name : STATE) {
        fs::remove_all(path() + "/" + name, ec);
        if (fs::exists(fs::symlink_status(saved_ + "/" + name)))
            fs::rename(saved_ + "/" + name, path() + "/" + name, ec);
    }
    fs::remove_all(saved_, ec);
}

std::string InstallDir::logs_dir()
{
    fs::create_directories(path() + "/Logs");
    return path() + "/Logs";
}

void InstallDir::write_config(std::string_view doc) { write_file(config_path(), doc); }

void InstallDir::remove_config() { fs::remove(config_path()); }

TempDir::TempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "quillet-e2e-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, std::string_view data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}
