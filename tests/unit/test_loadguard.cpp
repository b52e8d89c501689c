// Library loads: which paths the trust rule lets through, and the refusal a
// caller of dlopen sees (as root; SQLite's own loads: test_attacks).

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "loadguard.h"
#include "unit_support.h"

namespace fs = std::filesystem;

namespace {

// A directory the rule trusts: beside the test binary, or a system one.
fs::path trusted_base()
{
    const std::string exe_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
    for (const std::string &dir : {exe_dir, std::string("/run"), std::string("/root")}) {
        std::string resolved;
        diagstk_ptr d(diagstk_new());
        if (loadguard_check(d.get(), dir.c_str(), &resolved) == 0) return dir;
    }
    throw std::runtime_error("no directory only root can write");
}

// A directory the rule trusts, or one in /tmp.
struct Scratch {
    explicit Scratch(bool under_tmp = false)
    {
        const fs::path base = under_tmp ? fs::path("/tmp") : trusted_base();
        std::string p = (base / "loadguard-XXXXXX").string();
        if (mkdtemp(p.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = p;
    }
    ~Scratch() { fs::remove_all(dir); }
    std::string file(const std::string &name, mode_t mode = 0644) const
    {
        const std::string path = (dir / name).string();
        std::ofstream(path) << "not really a library";
        chmod(path.c_str(), mode);
        return path;
    }
    fs::path dir;
};

std::string refused(const std::string &name, const std::string &why)
{
    return "Refused to load library " + name + " - " + why;
}

// A refusal's message, or "" with *target what would be loaded.
std::string check(const char *name, std::string *target)
{
    diagstk_ptr d(diagstk_new());
    const int rc = loadguard_check(d.get(), name, target);
    const Msgs m = messages(d.get());
    EXPECT_EQ(rc == 0, m.empty()) << (name ? name : "(null)");
    return m.empty() ? "" : m.front();
}

}  // namespace

TEST(LoadGuardTrust, OnlyFilesNobodyButRootCouldHaveWritten)
{
    ASSERT_EQ(geteuid(), 0u) << "the trust rule's cases need root";
    Scratch trusted, tmp(true), open_dir;
    chmod(open_dir.dir.c_str(), 0777);
    const std::string plain = trusted.file("plain.so"), group = trusted.file("group.so", 0664),
                      other = trusted.file("other.so", 0646), in_open = open_dir.file("x.so"),
                      in_tmp = tmp.file("x.so"), foreign = trusted.file("foreign.so");
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    const std::string link = (trusted.dir / "link.so").string();
    fs::create_symlink(in_tmp, link);
    const std::string missing = (trusted.dir / "missing.so").string();
    const std::string libc = fs::canonical("/lib/x86_64-linux-gnu/libc.so.6").string();

    const struct { std::string name, message, target; } cases[] = {
        {plain, "", plain},
        {"/lib/x86_64-linux-gnu/libc.so.6", "", libc},  // a system library, through a symlink
        {"libc.so.6", "", "libc.so.6"},                   // the dynamic linker's own search
        {group, refused(group, group + " is writable by its group"), ""},
        {other, refused(other, other + " is writable by others"), ""},
        {in_open, refused(in_open, open_dir.dir.string() + " is writable by others"), ""},
        {in_tmp, refused(in_tmp, "/tmp is writable by others"), ""},
        {link, refused(link, "/tmp is writable by others"), ""},
        {foreign, refused(foreign, foreign + " is not owned by root"), ""},
        {missing, refused(missing, "No such file or directory"), ""},
        {"$ORIGIN/x.so", refused("$ORIGIN/x.so", "the name holds a $ token"), ""},
    };
    for (const auto &c : cases) {
        std::string target = "unset";
        EXPECT_EQ(check(c.name.c_str(), &target), c.message) << c.name;
        if (c.message.empty()) {
            EXPECT_EQ(target, c.target) << c.name;
        }
    }
    std::string target = "unset";
    EXPECT_EQ(check(nullptr, &target), "");  // the program itself
}

TEST(LoadGuardOpen, RefusalFailsTheLoadAndDlerrorSaysWhyOnce)
{
    Scratch tmp(true), trusted;
    const std::string planted = (tmp.dir / "marker.so").string(),
                      kept = (trusted.dir / "marker.so").string();
    fs::copy_file(QUILLET_MARKER_LIB, planted);
    fs::copy_file(QUILLET_MARKER_LIB, kept);
    fs::remove(QUILLET_MARKER_FILE);

    EXPECT_EQ(loadguard_open(planted.c_str(), RTLD_NOW, nullptr), nullptr);
    EXPECT_FALSE(fs::exists(QUILLET_MARKER_FILE));
    const char *why = loadguard_error();
    EXPECT_EQ(std::string(why ? why : "(null)"), refused(planted, "/tmp is writable by others"));
    EXPECT_EQ(loadguard_error(), nullptr);

    // The same library from a trusted place is loaded by the next dlopen.
    void *h = loadguard_open(kept.c_str(), RTLD_NOW, nullptr);
    EXPECT_NE(h, nullptr);
    EXPECT_TRUE(fs::exists(QUILLET_MARKER_FILE));
    if (h != nullptr) dlclose(h);
    fs::remove(QUILLET_MARKER_FILE);
}
